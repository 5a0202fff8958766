// What a track camera tells about itself to the state dump, kept apart from the relay and the
// transports: these only read, on the event loop, what those keep.

#include "camera/TrackCamera.h"

bool TrackCamera::IsConnected() const
{
    if (serialCamera)
        return isSerial;
    if (!socket || !socket->is_open())
        return false;
    // The socket is open from its resolution on, and stays open after a failed connect: only a
    // peer address says that the connection is up.
    boost::system::error_code error;
    socket->remote_endpoint(error);
    return !error;
}

bool TrackCamera::OnSerialLine() const
{
    return serialCamera;
}

int64_t TrackCamera::LockSecondsLeft() const
{
    if (holderSession == 0)
        return 0;
    const auto left = lockDeadline - std::chrono::steady_clock::now();
    // Rounded up, so that a hold taken just now shows the whole lock time.
    return left <= left.zero() ? 0 : std::chrono::ceil<std::chrono::seconds>(left).count();
}
