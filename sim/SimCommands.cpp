#include "sim/SimCommands.h"

#include "sim/NvrSimulator.h"
#include "sim/SimWords.h"

namespace zonvrsim {

bool SimCommands::Run(NvrSimulator& simulator, const std::vector<std::string>& w, std::vector<std::string>& lines,
                      std::string& error)
{
    auto is = [&w](std::size_t n, const char* first, const char* second = nullptr) {
        return w.size() >= n && w[0] == first && (!second || (w.size() > 1 && w[1] == second));
    };
    unsigned id = 0;
    unsigned other = 0;
    int number = 0;
    if (w.empty()) {
        error = "empty command";
        return false;
    }
    if (w[0] == "list") {
        if (w.size() != 2) {
            error = "usage: list cameras|triggers|associations|links|users|clients";
            return false;
        }
        if (!simulator.List(w[1], lines)) {
            error = "unknown list '" + w[1] + "'";
            return false;
        }
        return true;
    }
    if ((w.size() == 4 || w.size() == 5) && is(4, "camera", "add") && SimWords::ToU32(w[2], id) && id != 0) {
        simulator.PutCamera(SimCamera{id, w[3], w.size() == 5 ? w[4] : std::string()});
        return true;
    }
    if (w.size() == 4 && is(4, "camera", "rename") && SimWords::ToU32(w[2], id)) {
        if (simulator.RenameCamera(id, w[3]))
            return true;
        error = "no camera " + w[2];
        return false;
    }
    if (w.size() == 3 && is(3, "camera", "remove") && SimWords::ToU32(w[2], id)) {
        if (simulator.RemoveCamera(id))
            return true;
        error = "no camera " + w[2];
        return false;
    }
    if (w.size() == 5 && is(5, "trigger", "add") && SimWords::ToU32(w[2], id)) {
        lines.push_back("trigger " + std::to_string(simulator.AddSoftTrigger(SimSoftTrigger{id, w[3], w[4]})));
        return true;
    }
    if (w.size() == 3 && w[0] == "fire" && SimWords::ToU32(w[1], id) && SimWords::ToI32(w[2], number)) {
        if (simulator.FireSoftTrigger(id, number))
            return true;
        error = "no trigger " + w[1];
        return false;
    }
    if (w.size() >= 4 && is(4, "association", "set") && SimWords::ToU32(w[2], id)) {
        std::vector<std::uint32_t> listed;
        if (!SimWords::ToTriggerIds(w, 4, listed, error))
            return false;
        simulator.SetAssociation(id, w[3], listed);
        return true;
    }
    if ((w.size() == 4 || w.size() == 5) && is(4, "link", "add") && SimWords::ToU32(w[2], id) && id != 0 &&
        SimWords::ToU32(w[3], other)) {
        simulator.AddEventLink(id, other, w.size() == 5 ? w[4] : std::string());
        return true;
    }
    if (w.size() == 4 && is(4, "user", "add")) {
        simulator.AddUser(w[2], w[3]);
        return true;
    }
    if (w.size() == 1 && w[0] == "drop") {
        simulator.DropClients();
        return true;
    }
    if (w.size() == 2 && w[0] == "hang" && (w[1] == "on" || w[1] == "off")) {
        simulator.SetHang(w[1] == "on");
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "login") && (w[2] == "on" || w[2] == "off")) {
        simulator.SetRefuseLogins(w[2] == "on");
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "trigger") && SimWords::ToI32(w[2], number)) {
        simulator.SetRefuseTriggerCreation(number);
        return true;
    }
    if (w.size() == 3 && is(3, "refuse", "association") && SimWords::ToI32(w[2], number)) {
        simulator.SetRefuseAssociationUpdate(number);
        return true;
    }
    if (w.size() == 2 && w[0] == "delay" && SimWords::ToI32(w[1], number) && number >= 0) {
        simulator.SetAckDelay(number);
        return true;
    }
    if (w.size() == 1 && w[0] == "calls") {
        lines = simulator.Calls();
        return true;
    }
    if (w.size() == 2 && w[0] == "calls" && w[1] == "clear") {
        simulator.ClearCalls();
        return true;
    }
    error = "unknown command (see docs/zonvr-sim.md)";
    return false;
}

}  // namespace zonvrsim
