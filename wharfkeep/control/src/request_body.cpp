#include "request_body.h"

#include <algorithm>

namespace wharfkeep::control {

using nlohmann::json;

ControlResponse JsonResponse(const json& body, int status) {
    return ControlResponse{
        status, "application/json",
        body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n"};
}

ControlResponse WrongMethod(const ControlRequest& request, const char* allowed) {
    return ErrorResponse(
        405, request.method + " is not allowed on " + request.path + "; use " + allowed);
}

Body ObjectBody(const std::string& text) {
    json value = json::parse(text, nullptr, false);
    if (value.is_discarded()) {
        return {{}, ErrorResponse(400, "the body is not valid JSON")};
    }
    if (!value.is_object()) {
        return {{}, ErrorResponse(400, "the body must be a JSON object")};
    }
    return {std::move(value), std::nullopt};
}

Body ObjectBody(const std::string& text, std::initializer_list<const char*> known) {
    Body body = ObjectBody(text);
    if (!body.refusal) {
        body.refusal = OnlyMembers(body.value, known);
    }
    return body;
}

std::optional<std::string> TextMember(const json& body, const char* name, bool required,
                                      std::string& error) {
    auto found = body.find(name);
    if (found == body.end()) {
        if (required) {
            error = std::string("missing \"") + name + "\" (text)";
        }
        return std::nullopt;
    }
    if (!found->is_string()) {
        error = std::string("\"") + name + "\" must be text";
        return std::nullopt;
    }
    return found->get<std::string>();
}

std::optional<bool> BoolMember(const json& body, const char* name, std::string& error) {
    auto found = body.find(name);
    if (found == body.end()) {
        return std::nullopt;
    }
    if (!found->is_boolean()) {
        error = std::string("\"") + name + "\" must be true or false";
        return std::nullopt;
    }
    return found->get<bool>();
}

std::optional<ControlResponse> OnlyMembers(const json& body,
                                           std::initializer_list<const char*> known) {
    for (const auto& item : body.items()) {
        bool listed = std::any_of(known.begin(), known.end(),
                                  [&](const char* name) { return item.key() == name; });
        if (!listed) {
            return ErrorResponse(400, "unknown member \"" + item.key() + "\"");
        }
    }
    return std::nullopt;
}

}  // namespace wharfkeep::control
