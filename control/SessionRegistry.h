#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

class ControlSession;

/// The live operator sessions by number, and for each camera the registered sessions looking at
/// it, so that a control message finds its few recipients without walking every session. Does
/// not keep the sessions alive. Not locked itself: the control server's lock guards it.
///
/// A session is a viewer of the camera named by its SelectedCamera while it is the entry for its
/// number; a session whose number a newer one took over is nobody's viewer.
class SessionRegistry
{
public:
    /// The registered viewers of one camera by number, in ascending order.
    using Viewers = std::map<uint16_t, std::weak_ptr<ControlSession>>;

    /// Makes session the entry for its Number and a viewer of its SelectedCamera, if any. An
    /// older session with that number stops being a viewer and keeps its connection.
    void Add(const std::shared_ptr<ControlSession>& session);
    /// Erases the entry for number, but only while it still refers to session; the session
    /// stops being a viewer with it.
    void Remove(uint16_t number, const ControlSession* session);
    /// The session registered with number; empty when there is none or it has gone.
    std::shared_ptr<ControlSession> Find(uint16_t number) const;
    /// The registered viewers of the camera at address; null when none has ever looked at it.
    const Viewers* ViewersOf(const std::string& address) const;
    /// Find, looking first in viewers: a control message's holder is usually one of the camera's
    /// viewers, and their list is short where the registry may be long.
    std::shared_ptr<ControlSession> Find(uint16_t number, const Viewers* viewers) const;
    /// To be called once session's SelectedCamera has changed: a registered session becomes a
    /// viewer of that camera and no longer of the one before; an unregistered one changes nothing.
    void UpdateViewer(const ControlSession& session);
    /// Number of registered sessions.
    std::size_t Size() const;
    /// Forgets every session without touching them.
    void Clear();

    /// Calls visit(session) for every registered session that is still alive, in ascending number.
    template <typename Visit>
    void ForEachSession(Visit visit) const
    {
        for (const auto& entry : sessions)
        {
            if (const std::shared_ptr<ControlSession> session = entry.second.session.lock())
                visit(*session);
        }
    }

    /// Calls visit(number, session) for every one of viewers (from ViewersOf) that is still
    /// alive, in ascending number. A visit may end its own session (which leaves the registry
    /// then): the walk has stepped past its entry before the call.
    template <typename Visit>
    static void ForEachViewer(const Viewers* viewers, Visit visit)
    {
        if (viewers == nullptr)
            return;
        for (auto entry = viewers->begin(); entry != viewers->end();)
        {
            const uint16_t number = entry->first;
            const std::shared_ptr<ControlSession> session = entry->second.lock();
            ++entry;
            if (session)
                visit(number, *session);
        }
    }

private:
    /// One registered session.
    struct Entry
    {
        /// The session; the registry does not keep it alive.
        std::weak_ptr<ControlSession> session;
        /// Identifies the session without locking session; never dereferenced.
        const ControlSession* identity;
        /// The viewer list that holds this entry's number; null while the session looks at no camera.
        Viewers* viewing;
    };

    /// Takes entry's number out of the viewer list it is in.
    void StopViewing(uint16_t number, Entry& entry);
    /// Puts entry's number into the viewer list of the camera at address; nothing for empty address.
    void StartViewing(uint16_t number, Entry& entry, const std::string& address);

    /// The live sessions by number.
    std::map<uint16_t, Entry> sessions;
    /// The viewer lists by camera Address; a list is kept once made, even when empty, and stays
    /// where it is while others are added (entries point to theirs).
    std::unordered_map<std::string, Viewers> viewers;
};
