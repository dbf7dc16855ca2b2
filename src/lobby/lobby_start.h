#pragma once

#include <boost/filesystem/path.hpp>

#include <string>
#include <vector>

// Text as the system's file and process functions take it: wide on Windows, bytes elsewhere.
using NativeString = boost::filesystem::path::string_type;

// The one place where the Lobby lives: the install folder joined with "Lobby.exe".
boost::filesystem::path lobbyPath();

// The Lobby's arguments: "launcher='launcher'", "--storageFolder" and the install folder, then
// "--siteenv" and the site environment name when there is one.
std::vector<NativeString> lobbyArguments(const boost::filesystem::path& installFolder,
                                         const std::string& siteEnv);

// Starts the Lobby from the install folder, detached, and returns without waiting for it.
// Raises "<quoted path> not found" when Lobby.exe is missing and "Error running lobby: " with
// the system's error code when the process cannot be created.
void startLobby();
