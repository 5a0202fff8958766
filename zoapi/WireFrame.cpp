#include "zoapi/WireFrame.h"

#include "zoapi/WireProtocol.h"
#include "zoapi/WireReader.h"

namespace zoapi {

WireFrame::Status WireFrame::Read(const std::uint8_t* data, std::size_t available)
{
    *this = WireFrame();
    if (available < kLengthSize)
        return kPart;
    WireReader in(data, available);
    std::uint32_t body = in.U32();
    // A length below the header or above the limit cannot be resynchronised from.
    if (body < kHeaderRest || body > kMaxFrameBody)
        return kBroken;
    size = kLengthSize + body;
    if (available < kLengthSize + kHeaderRest)
        return kPart;
    type = in.U16();
    in.U16();  // flags: none defined yet
    seq = in.U32();
    hasHeader = true;
    if (available < size)
        return kPart;
    payload = data + kLengthSize + kHeaderRest;
    payloadSize = size - kLengthSize - kHeaderRest;
    return kWhole;
}

std::size_t WireFrame::Size() const
{
    return size;
}

bool WireFrame::HasHeader() const
{
    return hasHeader;
}

std::uint16_t WireFrame::Type() const
{
    return type;
}

std::uint32_t WireFrame::Seq() const
{
    return seq;
}

const std::uint8_t* WireFrame::Payload() const
{
    return payload;
}

std::size_t WireFrame::PayloadSize() const
{
    return payloadSize;
}

}  // namespace zoapi
