#pragma once
// Reading a request's JSON body and writing a JSON answer, shared by the router and the
// account resources: every refusal names the member that is wrong.

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "wharfkeep/control/control_router.h"

namespace wharfkeep::control {

ControlResponse JsonResponse(const nlohmann::json& body, int status = 200);

// The refusal of a method the resource does not take; `allowed` names those it does.
ControlResponse WrongMethod(const ControlRequest& request, const char* allowed);

// The request body as a JSON object, or the refusal to send.
struct Body {
    nlohmann::json value;
    std::optional<ControlResponse> refusal;
};

Body ObjectBody(const std::string& text);
// The same, refusing members the resource does not know (see OnlyMembers).
Body ObjectBody(const std::string& text, std::initializer_list<const char*> known);

// A text member; `error` names the member when it is missing (and `required`) or of
// another type.
std::optional<std::string> TextMember(const nlohmann::json& body, const char* name, bool required,
                                      std::string& error);

std::optional<bool> BoolMember(const nlohmann::json& body, const char* name, std::string& error);

// Refuses members the resource does not know, so that a misspelt name is not ignored.
std::optional<ControlResponse> OnlyMembers(const nlohmann::json& body,
                                           std::initializer_list<const char*> known);

}  // namespace wharfkeep::control
