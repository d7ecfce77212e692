#pragma once
// What the control server's tests share: a temporary folder for the socket and token files,
// the fake host, a server started with the options a test set up, and waiting with a
// deadline for what the server's thread does.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "fake_control_host.h"
#include "socket_reading.h"
#include "temp_folder.h"
#include "wharfkeep/control/control_server.h"

namespace wharfkeep::control {

using platform::testing::ReadUntilClosed;

// Polls `done` until it holds (true) or `limit` passes (false).
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

class ControlServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.empty());
        options_.socket_path = folder_ / kControlSocketName;
    }
    void TearDown() override { server_.reset(); }
    void StartServer() {
        std::string error;
        server_ = ControlServer::Start(host_, options_, error);
        ASSERT_NE(server_, nullptr) << error;
    }

    platform::testing::TempFolder temp_folder_{"wk-control"};
    std::filesystem::path folder_ = temp_folder_.path();
    ControlServerOptions options_;
    FakeControlHost host_;
    std::unique_ptr<ControlServer> server_;
};

}  // namespace wharfkeep::control
