#include "state/install_state_json.h"

#include "state/channel_name.h"
#include "state/json_quoted.h"
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
    state.report = json_string_member(document, "report");
    const auto issued = document.find("issued");
    if (issued != document.end() && issued->is_number_unsigned()) {
        state.issued = issued->get<uint64_t>();
    }
    // A name that is no channel's could point the check at any file of the server.
    const std::string channel = json_string_member(document, "channel");
    state.channel = channel_name_ok(channel) ? channel : std::string();
    const auto channel_issued = document.find("channelIssued");
    if (channel_issued != document.end() && channel_issued->is_object()) {
        for (const auto& entry : channel_issued->items()) {
            if (channel_name_ok(entry.key()) && entry.value().is_number_unsigned()) {
                state.channel_issued.emplace_back(entry.key(), entry.value().get<uint64_t>());
            }
        }
    }
    const auto bucket = document.find("bucket");
    if (bucket != document.end() && bucket->is_number_unsigned() && bucket->get<uint64_t>() < 100) {
        state.bucket = static_cast<int>(bucket->get<uint64_t>());
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
    // Written by hand: the library's serializer would add more code to the program than
    // the whole record's reading does. Keys in sorted order, two-space indent.
    std::string text = "{\n";
    const auto member = [&text](const char* key, const std::string& value_text) {
        if (text.size() > 2) {
            text += ",\n";
        }
        text += "  \"";
        text += key;
        text += "\": ";
        text += value_text;
    };
    if (!state.bad.empty()) {
        std::string list = "[";
        for (const std::string& version : state.bad) {
            list += list.size() > 1 ? ",\n    " : "\n    ";
            list += json_quoted(version);
        }
        member("bad", list + "\n  ]");
    }
    if (state.bucket >= 0) {
        member("bucket", std::to_string(state.bucket));
    }
    if (!state.channel.empty()) {
        member("channel", json_quoted(state.channel));
    }
    if (!state.channel_issued.empty()) {
        std::string list = "{";
        for (const auto& entry : state.channel_issued) {
            list += list.size() > 1 ? ",\n    " : "\n    ";
            list += json_quoted(entry.first) + ": " + std::to_string(entry.second);
        }
        member("channelIssued", list + "\n  }");
    }
    member("installed", json_quoted(state.installed));
    if (state.issued != 0) {
        member("issued", std::to_string(state.issued));
    }
    if (!state.prev.empty()) {
        member("prev", json_quoted(state.prev));
    }
    if (!state.report.empty()) {
        member("report", json_quoted(state.report));
    }
    if (!state.staged.empty()) {
        member("staged", json_quoted(state.staged));
    }
    return text + "\n}";
}
