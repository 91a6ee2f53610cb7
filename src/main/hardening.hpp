#pragma once
// What the program does to itself before anything else: on Windows, libraries that the system
// loads on its behalf later (lazily, by name) come only from the system folder, never from the
// folder of the exe or the current folder, where anyone could have put one with that name.

namespace vellicor {

void harden_library_search();

}  // namespace vellicor
