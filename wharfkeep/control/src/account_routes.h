#pragma once
// The tokens and users of the control interface as resources, for the web console's admin
// pages: GET and POST /tokens, DELETE /tokens/NAME, GET and POST /users, DELETE /users/NAME
// and PUT /users/NAME/password. They change the same files through the same stores as
// wharfkeepd's token and user commands. Every one needs the admin scope (remote_access.h).
//
// Adding a user and changing a password hash the password, which takes tens of
// milliseconds: those requests are answered with the work to run off the server thread.

#include <optional>
#include <string>

#include "loop_worker.h"
#include "wharfkeep/control/api_tokens.h"
#include "wharfkeep/control/control_router.h"
#include "wharfkeep/control/control_users.h"

namespace wharfkeep::control {

// True for /tokens, /users and the paths below them.
bool IsAccountPath(const std::string& path);

struct AccountAnswer {
    std::optional<ControlResponse> response;  // answered at once
    // Otherwise the change to run with `password` on the password worker.
    std::string password;
    PasswordChange change;
};

// `tokens` or `users` may be null where the listener has none; such requests get 404.
AccountAnswer HandleAccountRequest(const std::shared_ptr<TokenStore>& tokens,
                                   const std::shared_ptr<UserStore>& users,
                                   const ControlRequest& request);

}  // namespace wharfkeep::control
