// The lease edits, through the server or the file.
#include "app/model/lease_edits.hpp"

#include "app/model/serving.hpp"
#include "core/leases/lease_file_lock.hpp"

namespace anvil {

namespace {

// Readers take no lock; moving an undecodable file aside writes, so that is done only under the
// lock, and while another process holds it the file is left to that one.
LeaseFile::LoadResult readLeases(const LeaseFile& given, Date now) {
    // Refused as a server refuses it, and read where a server writes it.
    LeaseFile file = LeaseFile::resolve(given.url);
    try {
        return file.load(now, LeaseFile::Undecodable::refuse);
    } catch (const LeaseFileError& unread) {
        if (unread.kind != LeaseFileError::Kind::read) throw;
        std::optional<LeaseFileLock> held;
        try {
            held.emplace(LeaseFileLock::acquire(file.url));
        } catch (const std::exception&) {
            throw unread;
        }
        return file.load(now);
    }
}

struct Reread {
    std::optional<LeaseFile::LoadResult> result;
    std::string error;
};

}  // namespace

void LeaseEdits::loadAtLaunch() {
    auto& state = context_.state;
    try {
        state.loadLeases(readLeases(serving_.leaseFile(), context_.env.now()));
        auto setAside = state.notices.find(NoticeKind::leaseFileSetAside);
        if (setAside != state.notices.end())
            context_.log.add(EventLog::line("NOTICE", setAside->second.message, context_.env.now()),
                             LogLine::Kind::notice);
    } catch (const LeaseFileError& error) {
        state.raise(Notice::leaseReadFailedAtLaunch(error.description()));
    }
    context_.changed(ModelChange::leases | ModelChange::notices | ModelChange::log);
}

void LeaseEdits::rewrite(std::function<void(LeaseTable&, Date)> change) {
    // Reading and writing the file can take a while on a slow disk: edit it in the background.
    ++jobs_;
    Date now = context_.env.now();
    context_.background.run(
        [file = LeaseFile(context_.env.leaseFileURL), now, change = std::move(change), edits = edits_] {
            Reread reread;
            try {
                if (change) {
                    // This process's edits one at a time, and none while another process writes the
                    // file: the lock is taken before the file is read and held until the last write.
                    std::lock_guard serial(*edits);
                    LeaseFile real = LeaseFile::resolve(file.url);
                    auto held = LeaseFileLock::acquire(real.url);
                    LeaseTable table = real.load(now).table;
                    change(table, now);
                    real.save(table);
                }
                reread.result = readLeases(file, now);
            } catch (const LeaseFileInUse& busy) {
                reread.error = busy.description();
            } catch (const LeaseFileError& failure) {
                reread.error = failure.description();
            } catch (const std::exception& failure) {
                reread.error = failure.what();
            }
            return reread;
        },
        [this](Reread reread) {
            --jobs_;
            if (reread.result)
                context_.state.loadLeases(*reread.result);
            else
                context_.alert.message = reread.error;
            context_.changed(ModelChange::leases | ModelChange::serving | ModelChange::dialogs | ModelChange::notices);
        });
    context_.changed(ModelChange::leases | ModelChange::serving);
}

bool LeaseEdits::refuseWhileServerChanges() {
    // The server takes the file's lock while it starts and holds it until its teardown ends; an
    // edit meanwhile has neither the server nor the file to go to.
    if (!serving_.isStarting() && !serving_.isStopping()) return false;
    context_.alert.message = std::string(serverChangingSentence);
    context_.changed(ModelChange::dialogs);
    return true;
}

CardRun* LeaseEdits::runningServer() const { return serving_.isRunning() ? serving_.run() : nullptr; }

void LeaseEdits::requestForget(const MACAddress& mac) {
    confirmForget_ = mac;
    context_.changed(ModelChange::dialogs);
}

void LeaseEdits::cancelForget() {
    confirmForget_.reset();
    context_.changed(ModelChange::dialogs);
}

void LeaseEdits::requestClear() {
    confirmClear_ = true;
    context_.changed(ModelChange::dialogs);
}

void LeaseEdits::cancelClear() {
    confirmClear_ = false;
    context_.changed(ModelChange::dialogs);
}

void LeaseEdits::forget(const MACAddress& mac) {
    confirmForget_.reset();
    if (auto* run = runningServer()) {
        run->forgetLease(mac);
        context_.changed(ModelChange::dialogs);
        return;
    }
    if (refuseWhileServerChanges()) return;
    rewrite([mac](LeaseTable& table, Date) { table.remove(mac); });
}

void LeaseEdits::clearExpired() {
    confirmClear_ = false;
    if (auto* run = runningServer()) {
        run->clearInactive();
        context_.changed(ModelChange::dialogs);
        return;
    }
    if (refuseWhileServerChanges()) return;
    rewrite([](LeaseTable& table, Date now) { table.clearInactive(now); });
}

void LeaseEdits::refresh() {
    if (auto* run = runningServer()) {
        run->refreshPresence();
        return;
    }
    // Only reads: saving an unchanged table would rewrite the file for nothing.
    rewrite(nullptr);
}

}  // namespace anvil
