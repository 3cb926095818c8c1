// Path and size texts every part of the program shares: one home, one test.
// Paths are "/"-separated bytes, local or on a server alike; nothing here
// touches the disk except IsFolder.
#pragma once

#include <cstdint>
#include <string>

namespace files {

// "a" + "b" -> "a/b"; never doubles a "/" ("/" + "b" -> "/b"); an empty
// folder gives the name alone.
std::string Join(const std::string& folder, const std::string& name);
// The folder that holds `path`: "/a/b" -> "/a", "/a" -> "/", "/" -> "/";
// a bare name -> ".".
std::string Parent(const std::string& path);
// The last step of `path`, trailing "/" ignored: "/a/b/" -> "b", "/" -> "/".
std::string BaseName(const std::string& path);
// A local folder that can be entered, tested without changing the process's
// current folder.
bool IsFolder(const std::string& path);
// Sizes as the lists, the Properties box and the replace question show them:
// whole kilobytes plus one ("7 KB" for 7010 bytes), "0 KB" for nothing.
std::string KbText(std::uint64_t bytes);

} // namespace files
