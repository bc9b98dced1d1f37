// Serving a recovery loader.
#include "app/model/recovery.hpp"

#include "app/model/admin_commands.hpp"
#include "app/model/cable_devices.hpp"
#include "app/model/serving.hpp"
#include "core/addressing/plain_text.hpp"

namespace anvil {

void Recovery::serveFile(const MACAddress& mac) {
    auto question = cable_.questionFor(mac, AddressQuestion::Purpose::serveFile);
    if (!question) return;
    ReachedAddress item{mac, question->card, question->address};
    IPv4Address device = cable_.advice(mac)->device;
    commands_.runAddressCommand(question->card, question->command(), [this, item, device] {
        cable_.keep(item);
        auto* run = serving_.run();
        if (!run) return;
        current_ = RecoveryServing{item.mac, device, std::nullopt, false, nullptr};
        run->startRecoveryServing();
    });
}

void Recovery::follow(const ServerEvent& event) {
    if (!current_) return;
    auto fromDevice = [this](IPv4Address client, const std::optional<MACAddress>& mac) {
        return client == current_->device || (mac && *mac == current_->mac);
    };
    if (const auto* requested = std::get_if<ServerEvent::TFTPRequested>(&event.value)) {
        if (fromDevice(requested->client, requested->mac)) current_->file = requested->file;
    } else if (const auto* failed = std::get_if<ServerEvent::TFTPFailed>(&event.value)) {
        if (fromDevice(failed->client, failed->mac) && failed->reason == TFTPFailureReason::notInFolder)
            askForFile(failed->file);
    } else if (const auto* finished = std::get_if<ServerEvent::TFTPFinished>(&event.value)) {
        if (fromDevice(finished->client, finished->mac)) end();
    }
}

void Recovery::askForFile(const std::string& name) {
    // One question per name: the loader retries while the user picks.
    if (current_->askedForFile && current_->file == name) return;
    current_->file = name;
    current_->askedForFile = true;
    MACAddress mac = current_->mac;
    context_.background.later([this, name, mac] {
        if (!current_ || current_->mac != mac || !context_.env.chooseFile) return;
        if (current_->withdrawFileQuestion) current_->withdrawFileQuestion();
        // The dialog stays open while the server serves on; its answer comes back here.
        auto answered = context_.background.guarded([this, name, mac](std::optional<std::filesystem::path> chosen) {
            fileChosen(mac, name, std::move(chosen));
        });
        auto withdraw = context_.env.chooseFile(std::string(chooseFileTitle) + plainText(name), answered);
        if (current_) current_->withdrawFileQuestion = std::move(withdraw);
    });
}

void Recovery::fileChosen(const MACAddress& mac, const std::string& name, std::optional<std::filesystem::path> chosen) {
    auto* run = serving_.run();
    if (!current_ || current_->mac != mac || !run) return;
    current_->withdrawFileQuestion = nullptr;
    if (!chosen) {
        context_.logLine("TFTP", "no file chosen for " + plainText(name) + ": nothing is served");
        end();
        context_.changed(ModelChange::neighbours | ModelChange::notices | ModelChange::log);
        return;
    }
    run->serveFileAs(name, *chosen);
}

void Recovery::drop() {
    if (!current_) return;
    auto withdraw = std::move(current_->withdrawFileQuestion);
    current_.reset();
    if (withdraw) withdraw();
}

void Recovery::end() {
    MACAddress mac = current_->mac;
    drop();
    if (auto* run = serving_.run()) run->stopRecoveryServing();
    cable_.stopReaching(mac);
}

}  // namespace anvil
