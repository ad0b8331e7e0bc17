#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

// Runs call on a thread of its own and waits for its result up to timeout_ms. A call that never
// returns (a read blocked on a pipe, a read of an endless device) gives no result instead of
// hanging the suite; its thread is left behind and ends with the process. Everything call uses
// must be captured by value for that reason.
template <typename T>
std::optional<T> WithDeadline(std::function<T()> call, int timeout_ms = 20000)
{
    auto promise = std::make_shared<std::promise<T>>();
    std::future<T> future = promise->get_future();
    std::thread([promise, call] { promise->set_value(call()); }).detach();
    if (future.wait_for(std::chrono::milliseconds(timeout_ms)) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}
