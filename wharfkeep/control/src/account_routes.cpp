#include "account_routes.h"

#include <nlohmann/json.hpp>

#include "platform/lookup_table.h"
#include "request_body.h"
#include "wharfkeep/control/control_json.h"

namespace wharfkeep::control {
namespace {

using nlohmann::json;

// The HTTP status of each refusal; an unusable store (or none) is the server's fault.
constexpr platform::LookupRow<StoreRefusal, int> kRefusalStatuses[] = {
    {StoreRefusal::kInvalid, 400},
    {StoreRefusal::kUnknown, 404},
    {StoreRefusal::kTaken, 409},
    {StoreRefusal::kLastAdmin, 409}};

int StatusFor(StoreRefusal refusal) {
    return platform::look_up(kRefusalStatuses, refusal, 500);
}

ControlResponse Refused(StoreRefusal refusal, const std::string& error) {
    return ErrorResponse(StatusFor(refusal), error);
}

AccountAnswer Answered(ControlResponse response) {
    AccountAnswer answer;
    answer.response = std::move(response);
    return answer;
}

AccountAnswer Deferred(std::string password, PasswordChange change) {
    AccountAnswer answer;
    answer.password = std::move(password);
    answer.change = std::move(change);
    return answer;
}

// The scope member of a body; `error` says what is wrong with it.
std::optional<Scope> ScopeMember(const json& body, std::string& error) {
    std::optional<std::string> text = TextMember(body, "scope", true, error);
    if (!text) {
        return std::nullopt;
    }
    std::optional<Scope> scope = ParseScope(*text);
    if (!scope) {
        error = "\"scope\" must be read, operate or admin";
    }
    return scope;
}

// The new password of a body: text, not empty (the store also refuses an empty one, but
// only after the request has waited for the password worker).
std::optional<std::string> PasswordMember(const json& body, std::string& error) {
    std::optional<std::string> password = TextMember(body, "password", true, error);
    if (password && password->empty()) {
        error = "the password is empty";
        return std::nullopt;
    }
    return password;
}

// The store's entries as listings show them; the server's fault when the file is unusable.
template <typename Store>
ControlResponse ListEntries(const Store& store) {
    std::string error;
    const auto entries = store.List(error);
    if (!error.empty()) {
        return ErrorResponse(500, error);
    }
    return JsonResponse(ToJson(entries));
}

// The token's text is in this answer only; the store keeps its hash.
ControlResponse CreateToken(TokenStore& tokens, const std::string& text) {
    Body body = ObjectBody(text, {"name", "scope"});
    if (body.refusal) {
        return *body.refusal;
    }
    std::string error;
    std::optional<std::string> name = TextMember(body.value, "name", true, error);
    std::optional<Scope> scope = name ? ScopeMember(body.value, error) : std::nullopt;
    if (!scope) {
        return ErrorResponse(400, error);
    }
    StoreRefusal refusal = StoreRefusal::kNone;
    std::optional<std::string> token = tokens.Create(*name, *scope, error, &refusal);
    if (!token) {
        return Refused(refusal, error);
    }
    ControlResponse response =
        JsonResponse({{"name", *name}, {"scope", ScopeName(*scope)}, {"token", *token}}, 201);
    response.headers.emplace_back("Cache-Control", "no-store");
    return response;
}

ControlResponse TokensRequest(TokenStore& tokens, const ControlRequest& request) {
    const std::string prefix = "/tokens/";
    if (request.path == "/tokens") {
        if (request.method == "GET") {
            // The last uses noted in memory are written first, so that the list shows them.
            tokens.SaveLastUses();
            return ListEntries(tokens);
        }
        return request.method == "POST" ? CreateToken(tokens, request.body)
                                        : WrongMethod(request, "GET or POST");
    }
    if (request.method != "DELETE") {
        return WrongMethod(request, "DELETE");
    }
    const std::string name = request.path.substr(prefix.size());
    std::string error;
    StoreRefusal refusal = StoreRefusal::kNone;
    if (!tokens.Revoke(name, error, &refusal)) {
        return Refused(refusal, error);
    }
    return JsonResponse({{"message", "token " + name + " revoked"}});
}

AccountAnswer AddUser(const std::shared_ptr<UserStore>& users, const std::string& text) {
    Body body = ObjectBody(text, {"name", "scope", "password"});
    if (body.refusal) {
        return Answered(*body.refusal);
    }
    std::string error;
    std::optional<std::string> name = TextMember(body.value, "name", true, error);
    std::optional<Scope> scope = name ? ScopeMember(body.value, error) : std::nullopt;
    std::optional<std::string> password = scope ? PasswordMember(body.value, error) : std::nullopt;
    if (!password) {
        return Answered(ErrorResponse(400, error));
    }
    return Deferred(*password, [users, name = *name, scope = *scope](const std::string& pw) {
        std::string error;
        StoreRefusal refusal = StoreRefusal::kNone;
        if (!users->Add(name, scope, pw, error, &refusal)) {
            return Refused(refusal, error);
        }
        return JsonResponse({{"name", name}, {"scope", ScopeName(scope)}}, 201);
    });
}

AccountAnswer SetUserPassword(const std::shared_ptr<UserStore>& users, const std::string& name,
                              const std::string& text) {
    Body body = ObjectBody(text, {"password"});
    if (body.refusal) {
        return Answered(*body.refusal);
    }
    std::string error;
    std::optional<std::string> password = PasswordMember(body.value, error);
    if (!password) {
        return Answered(ErrorResponse(400, error));
    }
    return Deferred(*password, [users, name](const std::string& pw) {
        std::string error;
        StoreRefusal refusal = StoreRefusal::kNone;
        if (!users->SetPassword(name, pw, error, &refusal)) {
            return Refused(refusal, error);
        }
        return JsonResponse({{"message", "the password of " + name + " is changed"}});
    });
}

AccountAnswer UsersRequest(const std::shared_ptr<UserStore>& users, const ControlRequest& request) {
    const std::string prefix = "/users/";
    const std::string password_suffix = "/password";
    if (request.path == "/users") {
        if (request.method == "GET") {
            return Answered(ListEntries(*users));
        }
        return request.method == "POST" ? AddUser(users, request.body)
                                        : Answered(WrongMethod(request, "GET or POST"));
    }
    std::string name = request.path.substr(prefix.size());
    if (name.ends_with(password_suffix)) {
        name.resize(name.size() - password_suffix.size());
        return request.method == "PUT" ? SetUserPassword(users, name, request.body)
                                       : Answered(WrongMethod(request, "PUT"));
    }
    if (request.method != "DELETE") {
        return Answered(WrongMethod(request, "DELETE"));
    }
    std::string error;
    StoreRefusal refusal = StoreRefusal::kNone;
    // The console cannot give the admin scope back once nobody has it.
    if (!users->Remove(name, error, UserStore::LastAdmin::kStays, &refusal)) {
        return Answered(Refused(refusal, error));
    }
    return Answered(JsonResponse({{"message", "user " + name + " removed"}}));
}

bool UnderPath(const std::string& path, const std::string& root) {
    return path == root || (path.size() > root.size() + 1 && path.starts_with(root + "/"));
}

}  // namespace

bool IsAccountPath(const std::string& path) {
    return UnderPath(path, "/tokens") || UnderPath(path, "/users");
}

AccountAnswer HandleAccountRequest(const std::shared_ptr<TokenStore>& tokens,
                                   const std::shared_ptr<UserStore>& users,
                                   const ControlRequest& request) {
    if (!request.query.empty()) {
        return Answered(ErrorResponse(400, request.path + " takes no query"));
    }
    if (UnderPath(request.path, "/tokens")) {
        if (tokens == nullptr) {
            return Answered(ErrorResponse(404, "this listener has no tokens"));
        }
        return Answered(TokensRequest(*tokens, request));
    }
    if (users == nullptr) {
        return Answered(ErrorResponse(404, "this listener has no users"));
    }
    return UsersRequest(users, request);
}

}  // namespace wharfkeep::control
