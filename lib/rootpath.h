// rootpath: where the programs' fixed absolute paths really are.
// Every fixed path that the programs use by themselves (the configuration
// file, /etc/inittab, /tmp and its files, /dev/console, the telinit
// candidates) goes through rootpath().  When ZEL_ROOT is set in the
// environment of an ordinary run, such a path is taken below that directory,
// so tests and demos run in sandbox trees; a setuid or setgid run ignores it.
// Paths read from the configuration file never go through here.  Never fails.
#pragma once

#include <string>
#include <string_view>

// The fixed absolute path `fixed` (which begins with "/"), below ZEL_ROOT
// when that applies.
std::string rootpath(std::string_view fixed);
