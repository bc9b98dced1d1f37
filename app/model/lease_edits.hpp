#pragma once
// Forgetting a lease, clearing the expired ones and reloading the list: through the running server
// when there is one, otherwise by rewriting the lease file in the background under its lock.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "app/model/model_context.hpp"
#include "core/leases/lease_file.hpp"

namespace anvil {

class Serving;

class LeaseEdits {
public:
    // An edit of the leases while the server starts or stops, which holds the file meanwhile.
    static constexpr std::string_view serverChangingSentence =
        "The server is starting or stopping; forget or clear leases again once it has.";

    LeaseEdits(ModelContext& context, Serving& serving) : context_(context), serving_(serving) {}

    // Forgetting and clearing ask first: the request shows the question, the answer acts or cancels.
    const std::optional<MACAddress>& confirmForget() const { return confirmForget_; }
    bool confirmClear() const { return confirmClear_; }
    // An edit of the file is under way; Start waits for it so that the server loads the edited file.
    bool isEditing() const { return jobs_ > 0; }

    // The leases as the window opens; a file that cannot be read becomes a notice.
    void loadAtLaunch();
    void requestForget(const MACAddress& mac);
    void cancelForget();
    void forget(const MACAddress& mac);
    void requestClear();
    void cancelClear();
    void clearExpired();
    // Reloads the lease list; while serving, asks for fresh presence instead.
    void refresh();

private:
    // Edits the file in the background with `change` (only reads it when null), then reloads the table.
    void rewrite(std::function<void(LeaseTable&, Date)> change);
    // While the own server starts or stops, an edit is refused with a sentence: true when it was.
    bool refuseWhileServerChanges();
    // The running server, which owns the table and would write its own copy over an edited file.
    CardRun* runningServer() const;

    ModelContext& context_;
    Serving& serving_;
    std::optional<MACAddress> confirmForget_;
    bool confirmClear_ = false;
    int jobs_ = 0;
    // Held by an edit of the lease file from the file's lock to its last write.
    std::shared_ptr<std::mutex> edits_ = std::make_shared<std::mutex>();
};

}  // namespace anvil
