// Text as a JSON string.
#pragma once
#include <string>

// A script's text need not be UTF-8; what is written as JSON must be.
std::string jsonString(const std::string& s);
