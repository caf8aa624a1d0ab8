// The text/uri-list that drag-and-drop sources on X offer for files: one URI
// a line, lines ended by CR LF (a bare LF is taken too), "#" lines comments.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace urilist {

// The paths of the file:// URIs of this machine in text, %-decoded, in the
// order given. Other URIs, files of other hosts and lines that decode to no
// usable path are left out. hostName is this machine's name, which some
// sources write as the host; an empty host and "localhost" are this machine.
std::vector<std::string> filePaths(std::string_view text, std::string_view hostName = {});

}  // namespace urilist
