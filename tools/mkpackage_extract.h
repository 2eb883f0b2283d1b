// The extract sub-command of mkpackage (arguments after the word "extract").
#pragma once

#include <string>
#include <vector>

int mkpackage_extract(const std::vector<std::string>& args);
