#include "Cli.h"

#include <cerrno>
#include <cstdlib>

namespace xr9tool {

bool parseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t* out) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || !end || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool Args::parse(int argc, char** argv, int first, const OptionTable& options) {
    bool optionsEnded = false;
    for (int i = first; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (arg == "--") {
                optionsEnded = true;
                continue;
            }
            positional_.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        size_t eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            inlineValue = true;
        }
        if (name == "help" || options.flags.count(name)) {
            if (inlineValue) {
                error_ = "option --" + name + " takes no value";
                return false;
            }
            flags_.insert(name);
        } else if (options.valued.count(name)) {
            if (!inlineValue) {
                if (i + 1 >= argc) {
                    error_ = "option --" + name + " needs a value";
                    return false;
                }
                value = argv[++i];
            }
            values_[name] = value;
        } else {
            error_ = "unknown option --" + name;
            return false;
        }
    }
    return true;
}

std::string Args::value(const std::string& name, const std::string& fallback) const {
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

bool Args::number(const std::string& name, uint64_t fallback, uint64_t min, uint64_t max, uint64_t* out) {
    auto it = values_.find(name);
    if (it == values_.end()) {
        *out = fallback;
        return true;
    }
    if (parseNumber(it->second, min, max, out)) return true;
    error_ = "--" + name + " wants a number from " + std::to_string(min) + " to " + std::to_string(max) +
             ", not '" + it->second + "'";
    return false;
}

}  // namespace xr9tool
