#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "camera/CameraMap.h"
#include "nvr/zoapi.h"

class CameraDirectory;
class ControlServer;
class TrackCamera;

/// The soft triggers, associations and event links one connection keeps on its recording
/// server: every matched track camera gets a "Tolvex Control" trigger whose GUID carries the
/// server's camera id, an association that lists it, and no user event link driving it.
///
/// Runs on the connection's thread. The trigger event and the creation acknowledgement arrive
/// on that thread too, from inside ZOAPI_Select, so the trigger map needs no lock; the
/// acknowledgement flag is atomic because the waiting loop polls it.
class TriggerProvisioning
{
public:
    /// Name given to every trigger the service creates.
    static constexpr const char* kTriggerName = "Tolvex Control";
    /// Longest wait for the acknowledgement of one trigger creation.
    static constexpr int kAcknowledgeSecs = 20;

    /// No triggers known yet; ids come from directory, which outlives this object.
    TriggerProvisioning(const CameraMap& cameras, const CameraDirectory& directory);
    TriggerProvisioning(const TriggerProvisioning&) = delete;
    TriggerProvisioning& operator=(const TriggerProvisioning&) = delete;

    /// "TOLVEX_" and the id in decimal: the GUID of a camera's trigger and its association's name.
    static std::string GuidFor(uint32_t cameraId);

    /// Lists the server's triggers and maps each one whose GUID names a matched camera
    /// ("TOLVEX_<id>") to that camera, storing the trigger in the camera too. Other GUIDs, a
    /// number 0 or a number no camera of this server carries are left alone.
    void RebuildTriggerMap(ZOAPI_HANDLE handle, ControlServer& controlServer);
    /// Creates the trigger of every matched camera that has none, waiting up to
    /// kAcknowledgeSecs for each creation to be acknowledged. A refusal is logged and the
    /// camera is skipped for this pass.
    void CreateMissingTriggers(ZOAPI_HANDLE handle, ControlServer& controlServer);
    /// Makes each matched camera's association list its triggers, creating the association
    /// where the camera has none. A refused update is logged; the pass goes on.
    void UpdateAssociations(ZOAPI_HANDLE handle, ControlServer& controlServer);
    /// Takes every event link that drives one of the mapped triggers off it, logging each one
    /// the server accepted.
    void RemoveForeignEventLinks(ZOAPI_HANDLE handle);

    /// The track camera that owns the trigger; null for a trigger that is not one of ours.
    TrackCamera* CameraOfTrigger(uint32_t triggerId) const;
    /// A creation has been acknowledged: ends the current wait. Any thread.
    void Acknowledge();
    /// Number of this server's triggers mapped to track cameras by the last rebuild.
    std::size_t TriggerCount() const;

private:
    /// Walks the association of the camera at address and adds the missing triggers.
    void UpdateAssociation(ZOAPI_HANDLE handle, const std::string& address);

    /// The track cameras; their set never changes.
    const CameraMap& cameras;
    /// This server's camera ids.
    const CameraDirectory& directory;
    /// This server's triggers that belong to track cameras, by trigger id.
    std::map<uint32_t, TrackCamera*> triggerMap;
    /// The same triggers by this server's camera id, each list in ascending trigger id; rebuilt
    /// with triggerMap, so that a pass stays linear in the number of cameras.
    std::map<uint32_t, std::vector<uint32_t>> triggersOfCamera;
    /// Set by the creation acknowledgement; cleared before each creation.
    std::atomic<bool> triggerAcknowledged{true};
};
