#include "sim/SimState.h"

#include <fstream>

#include "sim/SimWords.h"

namespace zonvrsim {

bool SimState::LoadFile(const std::string& path, std::string& error)
{
    std::ifstream in(path);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string why;
        if (!ApplyLine(line, why)) {
            error = "line " + std::to_string(number) + ": " + why;
            return false;
        }
    }
    return true;
}

bool SimState::ApplyLine(const std::string& line, std::string& error)
{
    std::vector<std::string> w;
    if (!SimWords::Split(line, w, error))
        return false;
    if (w.empty() || w[0][0] == '#')
        return true;
    unsigned id = 0;
    unsigned other = 0;
    const std::string& kind = w[0];
    if (kind == "user" && w.size() == 3) {
        users[w[1]] = w[2];
        return true;
    }
    if (kind == "camera" && (w.size() == 3 || w.size() == 4) && SimWords::ToU32(w[1], id) && id != 0) {
        PutCamera(SimCamera{id, w[2], w.size() == 4 ? w[3] : std::string()});
        return true;
    }
    if (kind == "trigger" && w.size() == 4 && SimWords::ToU32(w[1], id) && id != 0) {
        PutSoftTrigger(SimSoftTrigger{id, w[2], w[3]});
        return true;
    }
    if (kind == "association" && w.size() >= 3 && SimWords::ToU32(w[1], id)) {
        std::vector<std::uint32_t> listed;
        if (!SimWords::ToTriggerIds(w, 3, listed, error))
            return false;
        PutAssociation(id, w[2], listed);
        return true;
    }
    if (kind == "link" && (w.size() == 3 || w.size() == 4) && SimWords::ToU32(w[1], id) && id != 0 &&
        SimWords::ToU32(w[2], other)) {
        PutEventLink(id, other, w.size() == 4 ? w[3] : std::string());
        return true;
    }
    error = "cannot read '" + line + "'";
    return false;
}

bool SimState::List(const std::string& kind, std::vector<std::string>& lines) const
{
    lines.clear();
    if (kind == "users") {
        for (const auto& u : users)
            lines.push_back("user " + SimWords::Quote(u.first) + " " + SimWords::Quote(u.second));
    } else if (kind == "cameras") {
        for (const auto& c : cameras) {
            std::string line = "camera " + std::to_string(c.first) + " " + SimWords::Quote(c.second.name);
            if (!c.second.address.empty())
                line += " " + SimWords::Quote(c.second.address);
            lines.push_back(line);
        }
    } else if (kind == "triggers") {
        for (const auto& t : triggers)
            lines.push_back("trigger " + std::to_string(t.first) + " " + SimWords::Quote(t.second.name) + " " +
                            SimWords::Quote(t.second.guid));
    } else if (kind == "associations") {
        for (const auto& a : associations) {
            std::string line = "association " + std::to_string(a.first) + " " + SimWords::Quote(a.second.name);
            for (const auto& e : a.second.entries)
                line += " " + std::to_string(e.field[3]);
            lines.push_back(line);
        }
    } else if (kind == "links") {
        for (const auto& l : links)
            lines.push_back("link " + std::to_string(l.first) + " " + std::to_string(l.second.softTriggerId) + " " +
                            SimWords::Quote(l.second.name));
    } else {
        return false;
    }
    return true;
}

void SimState::PutCamera(const SimCamera& camera)
{
    cameras[camera.id] = camera;
}

std::uint32_t SimState::PutSoftTrigger(SimSoftTrigger trigger)
{
    if (trigger.id == 0) {
        trigger.id = triggers.empty() ? 1 : triggers.rbegin()->first + 1;
        // Past the largest id the count wraps to 0, which means "no trigger": take the lowest free id.
        for (std::uint32_t id = 1; trigger.id == 0; ++id)
            if (triggers.count(id) == 0)
                trigger.id = id;
    }
    triggers[trigger.id] = trigger;
    return trigger.id;
}

void SimState::PutAssociation(std::uint32_t cameraId, const std::string& name, const std::vector<std::uint32_t>& listed)
{
    SimAssociation a;
    a.name = name;
    a.cameraId = cameraId;
    a.reserved16 = 4;
    a.reserved20 = 50;
    a.colour = 0x808080;
    a.update = 1;
    a.fontName = "Arial";
    a.reserved44 = 8;
    a.highlightColour = 0xFFFF00;
    a.reserved52 = 70;
    a.reserved56 = 90;
    a.reserved60 = 90;
    for (std::size_t i = 0; i < listed.size(); ++i)
        a.entries.push_back(SimAssociationEntry{{32, static_cast<std::uint32_t>(i + 1), 8, listed[i], 0, 0, 0, 2}});
    associations[cameraId] = a;
}

void SimState::PutEventLink(std::uint32_t id, std::uint32_t triggerId, const std::string& name)
{
    SimEventLink link;
    link.id = id;
    link.sourceType = 1;
    link.triggerInUse = triggerId != 0;
    link.softTriggerId = triggerId;
    link.name = name;
    links[id] = link;
}

std::uint32_t SimState::CameraOfTrigger(std::uint32_t triggerId) const
{
    for (const auto& a : associations)
        for (const auto& e : a.second.entries)
            if (e.field[3] == triggerId)
                return a.first;
    return 0;
}

}  // namespace zonvrsim
