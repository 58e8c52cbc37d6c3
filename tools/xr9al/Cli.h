// Command-line parsing for the xr9al tool: a subcommand, then options
// (--name value, --name=value, or flags) and positional arguments.
#ifndef XR9TOOL_CLI_H
#define XR9TOOL_CLI_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace xr9tool {

enum ExitCode { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitUnavailable = 3 };

struct OptionTable {
    std::set<std::string> valued;  // options that take a value
    std::set<std::string> flags;   // options without a value (--help is always known)
};

class Args {
public:
    // Parses argv[first..argc). false with error() set on an unknown option or
    // a missing value.
    bool parse(int argc, char** argv, int first, const OptionTable& options);
    const std::string& error() const { return error_; }
    bool has(const std::string& name) const { return values_.count(name) || flags_.count(name); }
    std::string value(const std::string& name, const std::string& fallback = "") const;
    // The option as an unsigned number within [min, max]; false with error()
    // when it is not one (a missing option gives fallback).
    bool number(const std::string& name, uint64_t fallback, uint64_t min, uint64_t max, uint64_t* out);
    const std::vector<std::string>& positional() const { return positional_; }

private:
    std::map<std::string, std::string> values_;
    std::set<std::string> flags_;
    std::vector<std::string> positional_;
    std::string error_;
};

// Parses a whole decimal or 0x-prefixed hexadecimal number within [min, max].
bool parseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* out);

}  // namespace xr9tool

#endif
