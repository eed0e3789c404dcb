// muxctl's command line: reads the arguments left to right, runs one service
// command at once or collects the installation settings and installs at the
// end. Returns the exit status.
#pragma once

namespace muxctl {

int muxctl_main(int argc, char **argv);

}  // namespace muxctl
