#include "control/SessionRegistry.h"

#include "control/ControlSession.h"

void SessionRegistry::Add(const std::shared_ptr<ControlSession>& session)
{
    const uint16_t number = session->Number;
    auto found = sessions.find(number);
    if (found == sessions.end())
        found = sessions.emplace(number, Entry{session, session.get(), nullptr}).first;
    else
    {
        // The older session with this number keeps its connection but is told nothing more.
        StopViewing(number, found->second);
        found->second = Entry{session, session.get(), nullptr};
    }
    StartViewing(number, found->second, session->SelectedCamera);
}

void SessionRegistry::Remove(uint16_t number, const ControlSession* session)
{
    const auto found = sessions.find(number);
    if (found == sessions.end())
        return;
    if (found->second.identity != session && !found->second.session.expired())
        return;
    StopViewing(number, found->second);
    sessions.erase(found);
}

std::shared_ptr<ControlSession> SessionRegistry::Find(uint16_t number) const
{
    const auto found = sessions.find(number);
    return found == sessions.end() ? nullptr : found->second.session.lock();
}

const SessionRegistry::Viewers* SessionRegistry::ViewersOf(const std::string& address) const
{
    const auto camera = viewers.find(address);
    return camera == viewers.end() ? nullptr : &camera->second;
}

std::shared_ptr<ControlSession> SessionRegistry::Find(uint16_t number, const Viewers* viewers) const
{
    // A viewer list holds only registered sessions, each as its number's entry holds it.
    if (viewers != nullptr)
    {
        const auto viewer = viewers->find(number);
        if (viewer != viewers->end())
            return viewer->second.lock();
    }
    return Find(number);
}

void SessionRegistry::UpdateViewer(const ControlSession& session)
{
    const auto found = sessions.find(session.Number);
    if (found == sessions.end() || found->second.identity != &session || found->second.session.expired())
        return;
    StopViewing(session.Number, found->second);
    StartViewing(session.Number, found->second, session.SelectedCamera);
}

std::size_t SessionRegistry::Size() const
{
    return sessions.size();
}

void SessionRegistry::Clear()
{
    sessions.clear();
    viewers.clear();
}

void SessionRegistry::StopViewing(uint16_t number, Entry& entry)
{
    if (entry.viewing != nullptr)
        entry.viewing->erase(number);
    entry.viewing = nullptr;
}

void SessionRegistry::StartViewing(uint16_t number, Entry& entry, const std::string& address)
{
    if (address.empty())
        return;
    entry.viewing = &viewers[address];
    (*entry.viewing)[number] = entry.session;
}
