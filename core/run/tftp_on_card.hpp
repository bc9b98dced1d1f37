#pragma once
// TFTP as one service of the run on a card: the boot folder's files when the configuration has a
// boot folder, and the files given for a recovery loader while the user serves one.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "core/addressing/boot_config.hpp"
#include "core/run/card_service.hpp"
#include "core/tftp_service/tftp_service.hpp"

namespace anvil {

class TFTPOnCard final : public CardService {
public:
    // `place.card` is filled in by start(); empty in the loopback mode.
    TFTPOnCard(asio::io_context& loop, TFTPService::Place place, bool cardMode, std::optional<BootConfig> boot,
               TFTPService::Callbacks callbacks, TFTPService::Seams files = {});

    void start(const std::string& card) override;
    void begin(bool) override {}
    void stop() override;
    void cardGone() override;
    void linkChanged(bool) override {}
    bool wantsSockets(bool linkUp) const override;
    Opener opener() const override;
    bool cardBack(const std::string& card, Opening opening) override;

    // Without a boot config, TFTP serves only the files given for the loader.
    void startRecoveryServing();
    // A device asked for `name`: answer it from `source`, a file the user chose.
    void serveFileAs(const std::string& name, const std::filesystem::path& source);
    void stopRecoveryServing();

private:
    void make(const BootConfig& boot);

    asio::io_context& loop_;
    TFTPService::Place place_;
    bool cardMode_;
    std::optional<BootConfig> boot_;
    TFTPService::Callbacks callbacks_;
    TFTPService::Seams files_;
    std::unique_ptr<TFTPService> tftp_;
    // TFTP runs for a recovery loader rather than for the boot config.
    bool recoveryServing_ = false;
    bool running_ = false;
    std::string lastFailure_;
};

}  // namespace anvil
