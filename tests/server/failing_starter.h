// A thread starter for the listen controller that fails like a system out of
// threads does.
#pragma once

#include <functional>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "server/listen_controller.h"

namespace quarvent::test {

// Creates threads as the controller does, except that the failAt-th call
// (1: the TCP thread, 2: the UDP thread of the first start) throws.
inline ListenController::ThreadStarter FailingStarter(int failAt) {
  auto calls = std::make_shared<int>(0);
  return [calls, failAt](std::function<void()> body) {
    if (++*calls == failAt)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
}

}  // namespace quarvent::test
