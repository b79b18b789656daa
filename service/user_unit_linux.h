// "TalvikSvc install" on Linux: a systemd user unit that runs the service
// in the user's session.
//
// Writes "talvik.service" into $XDG_CONFIG_HOME/systemd/user (default
// ~/.config/systemd/user), starting the running executable, restarted when
// it fails and wanted by default.target; an existing unit is left as it is.
// Where the package installed the unit for the running executable
// (../lib/systemd/user/talvik.service beside its directory), nothing is
// written. Then enables it with "systemctl --user enable talvik.service". Says on
// standard output where the unit is, and on standard error what failed;
// the caller exits with 0 either way.
#pragma once

namespace talvik {

void InstallUserUnit();

} // namespace talvik
