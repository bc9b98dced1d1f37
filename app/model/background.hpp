#pragma once
// The one way the model works away from the main thread: the work runs in the background and its
// result comes back on the main thread, and only while the model that asked still exists.
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "app/model/app_environment.hpp"

namespace anvil {

class Background {
public:
    using Task = AppEnvironment::Task;

    explicit Background(const AppEnvironment& env)
        : mainThread_(env.mainThread), mainThreadAfter_(env.mainThreadAfter), background_(env.background) {}
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // From now on nothing comes back: called first when the model goes.
    void close() { alive_.reset(); }

    // A call that does nothing once the model is gone; for callbacks that others make later.
    template <typename Call>
    auto guarded(Call call) const {
        return [weak = std::weak_ptr<int>(alive_), call = std::move(call)](auto&&... arguments) mutable {
            if (weak.lock()) call(std::forward<decltype(arguments)>(arguments)...);
        };
    }
    // A call for other threads (the run's, the card monitor's), made on the main thread: each call
    // runs `call` with its arguments on the main thread, while the model lives.
    template <typename Call>
    auto poster(Call call) const {
        return [mainThread = mainThread_, back = guarded(std::move(call))](auto... arguments) {
            mainThread([back, arguments...]() mutable { back(arguments...); });
        };
    }
    // Runs `task` on the main thread later (after `seconds` when given), while the model lives.
    void later(Task task) const { mainThread_(Task(guarded(std::move(task)))); }
    void after(double seconds, Task task) const { mainThreadAfter_(seconds, Task(guarded(std::move(task)))); }
    // Runs `work` away from the main thread and never comes back.
    void detach(Task work) const { background_(std::move(work)); }

    // Runs `work` away from the main thread and hands its result to `then` on the main thread.
    template <typename Work, typename Then>
    void run(Work work, Then then) const {
        using Value = std::invoke_result_t<Work&>;
        background_([work = std::move(work), then = std::move(then), weak = std::weak_ptr<int>(alive_),
                     mainThread = mainThread_]() mutable {
            if constexpr (std::is_void_v<Value>) {
                work();
                mainThread([weak, then = std::move(then)]() mutable {
                    if (weak.lock()) then();
                });
            } else {
                Value value = work();
                mainThread([weak, then = std::move(then), value = std::move(value)]() mutable {
                    if (weak.lock()) then(std::move(value));
                });
            }
        });
    }

    // The same, handing `fallback` to `then` after `seconds` when the work is slower; exactly once.
    template <typename Value, typename Work, typename Then>
    void withTimeout(double seconds, Value fallback, Work work, Then then) const {
        // Both paths resume on the main thread, so the flag needs no lock.
        auto resumed = std::make_shared<bool>(false);
        auto finish = [resumed, then = std::move(then)](Value value) mutable {
            if (*resumed) return;
            *resumed = true;
            then(std::move(value));
        };
        run([work = std::move(work)]() mutable { return Value(work()); }, finish);
        after(seconds, [finish, fallback = std::move(fallback)]() mutable { finish(std::move(fallback)); });
    }

private:
    AppEnvironment::Executor mainThread_;
    std::function<void(double, Task)> mainThreadAfter_;
    AppEnvironment::Executor background_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace anvil
