#include "state/install_state.h"

#include "state/paths.h"
#include "state/strict_json.h"

#include <nlohmann/json.hpp>
#include <windows.h>

#include <cstdio>
#include <io.h>

namespace {

using nlohmann::json;

bool read_whole_file(const std::wstring& path, std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    const bool read_error = ferror(file) != 0;
    fclose(file);
    return !read_error;
}

// The data must be on disk before the rename makes it the live file: otherwise a power
// cut soon after can leave install.json empty or zero-filled.
bool write_file_durably(const std::wstring& path, const std::string& bytes) {
    FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = ok && fflush(file) == 0 && _commit(_fileno(file)) == 0;
    ok = (fclose(file) == 0) && ok;
    return ok;
}

// Fills a cleared record from the text; see state_load for the result.
bool state_from_json(const std::string& text, InstallState& state) {
    const json document = parse_strict_json(text);
    if (!document.is_object()) {
        return false;
    }
    state.installed = json_string_member(document, "installed");
    state.staged = json_string_member(document, "staged");
    state.prev = json_string_member(document, "prev");
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
    // Keys come out sorted; invalid UTF-8 is replaced rather than raised.
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

} // namespace

bool InstallState::is_bad(const std::string& version) const {
    for (const std::string& entry : bad) {
        if (entry == version) {
            return true;
        }
    }
    return false;
}

bool state_load(InstallState& state) {
    state = InstallState();
    std::string bytes;
    if (!read_whole_file(state_file(), bytes)) {
        return false;
    }
    return state_from_json(bytes, state);
}

bool state_reload(InstallState& state) {
    InstallState fresh;
    if (!state_load(fresh)) {
        return false;
    }
    state = fresh;
    return true;
}

bool state_save(const InstallState& state) {
    const std::wstring target = state_file();
    const std::wstring temporary = state_temp_file();
    if (!write_file_durably(temporary, state_to_json(state))) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    return MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
}
