// The command line, read only when no web server runs the program as CGI.
#pragma once

#include "limits.hpp"

#include <string_view>

constexpr int default_workers = 0; // one event-loop thread per CPU

enum class run_mode { cgi, fastcgi, help, version, usage_error };

struct command_line {
    run_mode mode = run_mode::cgi;
    std::string_view address;      // --fastcgi ADDRESS: "unix:/path" or "HOST:PORT"
    int workers = default_workers; // event-loop threads
    bool workers_given = false;
    bool quiet = false;        // --quiet: the FastCGI server writes no log lines
    std::string_view error;    // what is wrong, for usage_error
    std::string_view argument; // the argument it is wrong about
};

command_line parse_command_line(int argc, char **argv);
