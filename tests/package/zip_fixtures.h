// Archives that make_zips.py writes before the package tests run.
#pragma once

#include "support/test_support.h"

#include <string>

inline std::wstring zip_fixture(const std::wstring& name) {
    return bin_dir() + L"\\..\\zip-fixtures\\" + name;
}
