#include "command_line.hpp"

#include "fastcgi/listener.hpp"

namespace {

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

// A whole number in [1, most], or 0.
int bounded_number(std::string_view text, int most) {
    if (!all_digits(text) || text.size() > 6) return 0;
    int value = 0;
    for (char c : text)
        value = value * 10 + (c - '0');
    return value <= most ? value : 0;
}

command_line usage_error(std::string_view what, std::string_view argument) {
    command_line line;
    line.mode = run_mode::usage_error;
    line.error = what;
    line.argument = argument;
    return line;
}

} // namespace

command_line parse_command_line(int argc, char **argv) {
    command_line line;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        std::string_view value;
        bool has_value = false;
        if (const auto eq = arg.find('=');
            arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        const bool takes_value = arg == "--fastcgi" || arg == "--workers";
        if (takes_value && !has_value) {
            if (i + 1 >= argc) return usage_error("an option lacks its value", arg);
            value = argv[++i];
        } else if (!takes_value && has_value) {
            return usage_error("an option takes no value", arg);
        }

        if (arg == "--help" || arg == "-h") {
            line.mode = run_mode::help;
            return line;
        }
        if (arg == "--version") {
            line.mode = run_mode::version;
            return line;
        }
        if (arg == "--quiet") {
            line.quiet = true;
            continue;
        }
        if (arg == "--fastcgi") {
            if (!parse_listen_address(value))
                return usage_error("--fastcgi takes unix:/PATH or HOST:PORT", value);
            line.mode = run_mode::fastcgi;
            line.address = value;
        } else if (arg == "--workers") {
            line.workers = bounded_number(value, fastcgi_limits::max_workers);
            if (line.workers == 0)
                return usage_error("--workers takes a number from 1 to 1024", value);
            line.workers_given = true;
        } else {
            return usage_error("unknown argument", arg);
        }
    }
    return line;
}
