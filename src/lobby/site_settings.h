#pragma once

#include <string>

// The site environment name held by the content of server.dat: the text before the first "::"
// after both ends are trimmed of whitespace, lower-cased (ASCII letters only). Empty when there
// is no "::".
std::string parseSiteEnv(const std::string& content);

// The site environment name from server.dat in the install folder; empty when the file is
// missing. Raises when the file exists but cannot be read, naming the file and the reason.
std::string readSiteEnv();
