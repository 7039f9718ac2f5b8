#include "state/install_state_json.h"

#include "state/strict_json.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

bool state_from_json(const std::string& text, InstallState& state) {
    state = InstallState();
    const json document = parse_strict_json(text);
    if (!document.is_object()) {
        return false;
    }
    state.installed = json_string_member(document, "installed");
    state.staged = json_string_member(document, "staged");
    state.prev = json_string_member(document, "prev");
    const auto issued = document.find("issued");
    if (issued != document.end() && issued->is_number_unsigned()) {
        state.issued = issued->get<uint64_t>();
    }
    const auto bad = document.find("bad");
    if (bad != document.end() && bad->is_array()) {
        for (const json& entry : *bad) {
            if (entry.is_string()) {
                state.bad.push_back(entry.get_ref<const std::string&>());
            }
        }
    }
    return !state.installed.empty();
}

std::string state_to_json(const InstallState& state) {
    json document = json::object();
    document["installed"] = state.installed;
    if (!state.staged.empty()) {
        document["staged"] = state.staged;
    }
    if (!state.prev.empty()) {
        document["prev"] = state.prev;
    }
    if (!state.bad.empty()) {
        document["bad"] = state.bad;
    }
    if (state.issued != 0) {
        document["issued"] = state.issued;
    }
    // Keys come out sorted; invalid UTF-8 is replaced rather than raised.
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}
