// What the command line asks for besides a port: the usage text, --help, --version and
// --list. Handled before any port is opened.
#pragma once

// Carries out the command line if it is not a port name: prints the usage text when no
// argument was given, or what an option asks for. Returns true with the exit status
// set when it did, false when argv[1] is a port name to open.
bool run_option(int argc, char** argv, int* exit_status);
