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
#include "temp_folder.h"
#include "wharfkeep/control/control_server.h"

namespace wharfkeep::control {

using platform::testing::ReadUntilClosed;

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
