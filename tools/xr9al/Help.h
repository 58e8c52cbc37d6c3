// The tool's help, written once per command: `--help` prints it as text,
// `xr9al --man` as the manual page, and the parser takes the command's
// option names from it, so help, manual and parser cannot drift apart.
#ifndef XR9TOOL_HELP_H
#define XR9TOOL_HELP_H

#include <string>
#include <vector>

#include "Cli.h"

namespace xr9tool {

// A term and what it means: an option ("--host ADDR", "--watch"), an action
// ("command TEXT") or an exit code ("2").
struct HelpItem {
    std::string term;
    std::string text;
};

struct HelpSection {
    std::string title;
    std::vector<HelpItem> items;
};

struct CommandHelp {
    std::string name;                    // "peer"; empty for the tool itself
    std::string summary;                 // one line: the command list, the page's NAME
    std::vector<std::string> synopsis;   // each line without the leading "xr9al "
    std::vector<std::string> paragraphs; // plain text, wrapped by the renderers
    std::vector<HelpSection> sections;
};

// The options named in the sections: terms starting with "--"; one followed
// by a placeholder takes a value.
OptionTable optionTable(const CommandHelp& help);

// What --help prints, wrapped at 80 columns. `commands`, given for the tool
// itself, adds the list of commands with their summaries.
std::string helpText(const CommandHelp& help, const std::vector<const CommandHelp*>& commands = {});

// The manual page in man(7) roff: the tool's synopsis and description, one
// subsection per command, then the tool's own sections (options, exit status).
std::string manPage(const CommandHelp& tool, const std::vector<const CommandHelp*>& commands,
                    const std::string& version);

}  // namespace xr9tool

#endif
