#pragma once
// What the control server's tests share: a temporary folder for the socket and token files,
// the fake host, and a server started with the options a test set up.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "fake_control_host.h"
#include "socket_reading.h"
#include "wharfkeep/control/control_server.h"

namespace wharfkeep::control {

using platform::testing::ReadUntilClosed;

class ControlServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "wk-control-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        options_.socket_path = folder_ / kControlSocketName;
    }
    void TearDown() override {
        server_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    void StartServer() {
        std::string error;
        server_ = ControlServer::Start(host_, options_, error);
        ASSERT_NE(server_, nullptr) << error;
    }

    std::filesystem::path folder_;
    ControlServerOptions options_;
    FakeControlHost host_;
    std::unique_ptr<ControlServer> server_;
};

}  // namespace wharfkeep::control
