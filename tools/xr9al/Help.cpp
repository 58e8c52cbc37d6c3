#include "Help.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace xr9tool {

namespace {

const size_t kWidth = 80;
const size_t kMaxTermColumn = 26;

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// Appends `text` wrapped so that no line passes kWidth columns; the cursor
// stands at `column` of a line already begun, and continuation lines are
// indented by `indent`. A word longer than a line stands alone.
void appendWrapped(std::string& out, const std::string& text, size_t column, size_t indent) {
    bool first = true;
    for (const std::string& w : words(text)) {
        if (!first && column + 1 + w.size() > kWidth) {
            out += "\n" + std::string(indent, ' ');
            column = indent;
            first = true;
        }
        if (!first) {
            out += ' ';
            ++column;
        }
        out += w;
        column += w.size();
        first = false;
    }
    out += '\n';
}

void appendItems(std::string& out, const std::vector<HelpItem>& items) {
    size_t longest = 0;
    for (const HelpItem& item : items) longest = std::max(longest, item.term.size());
    const size_t column = std::min(2 + longest + 2, kMaxTermColumn);
    for (const HelpItem& item : items) {
        out += "  " + item.term;
        size_t at = 2 + item.term.size();
        if (at + 1 > column) {
            out += "\n";
            at = 0;
        }
        out += std::string(column - at, ' ');
        appendWrapped(out, item.text, column, column);
    }
}

// Words that name options (or negative numbers) get real minus signs, so the
// page shows and copies as what the user types; other hyphens stay hyphens.
bool optionLike(const std::string& word) {
    const size_t start = word.find_first_not_of("[(");
    return start != std::string::npos && word[start] == '-';
}

std::string roffWord(const std::string& word) {
    std::string out;
    const bool minus = optionLike(word);
    for (char c : word) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-' && minus) {
            out += "\\-";
        } else {
            out += c;
        }
    }
    return out;
}

// Text for a roff line: escapes, and a line that would start with a control
// character starts with a zero-width escape instead.
std::string roff(const std::string& text) {
    std::string out;
    for (const std::string& w : words(text)) out += (out.empty() ? "" : " ") + roffWord(w);
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

// The first word of a term in bold (the option or action), the rest in
// italics (its placeholders).
std::string roffTerm(const std::string& term) {
    std::vector<std::string> parts = words(term);
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        out += (i ? " " : "") + std::string(i ? "\\fI" : "\\fB") + roffWord(parts[i]) + "\\fR";
    }
    return out;
}

void appendRoffSynopsis(std::string& out, const std::vector<std::string>& lines) {
    out += ".nf\n";
    for (const std::string& line : lines) out += "\\fBxr9al\\fR " + roff(line) + "\n";
    out += ".fi\n";
}

void appendRoffItems(std::string& out, const std::vector<HelpItem>& items) {
    for (const HelpItem& item : items) out += ".TP\n" + roffTerm(item.term) + "\n" + roff(item.text) + "\n";
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

OptionTable optionTable(const CommandHelp& help) {
    OptionTable table;
    for (const HelpSection& section : help.sections) {
        for (const HelpItem& item : section.items) {
            if (item.term.compare(0, 2, "--") != 0) continue;
            const size_t end = item.term.find(' ');
            const std::string name = item.term.substr(2, end == std::string::npos ? end : end - 2);
            (end == std::string::npos ? table.flags : table.valued).insert(name);
        }
    }
    return table;
}

std::string helpText(const CommandHelp& help, const std::vector<const CommandHelp*>& commands) {
    std::string out;
    for (size_t i = 0; i < help.synopsis.size(); ++i) out += (i ? "       xr9al " : "usage: xr9al ") + help.synopsis[i] + "\n";
    for (const std::string& p : help.paragraphs) {
        out += "\n";
        appendWrapped(out, p, 0, 0);
    }
    if (!commands.empty()) {
        std::vector<HelpItem> list;
        for (const CommandHelp* c : commands) list.push_back({c->synopsis.front(), c->summary});
        out += "\nCommands:\n";
        appendItems(out, list);
    }
    for (const HelpSection& section : help.sections) {
        out += "\n" + section.title + ":\n";
        appendItems(out, section.items);
    }
    return out;
}

std::string manPage(const CommandHelp& tool, const std::vector<const CommandHelp*>& commands,
                    const std::string& version) {
    std::string out = ".TH XR9AL 1 \"\" \"libxr9al " + version + "\" \"User Commands\"\n";
    out += ".SH NAME\nxr9al \\- " + roff(tool.summary) + "\n";
    out += ".SH SYNOPSIS\n";
    appendRoffSynopsis(out, tool.synopsis);
    out += ".SH DESCRIPTION\n";
    for (const std::string& p : tool.paragraphs) out += ".PP\n" + roff(p) + "\n";
    out += ".SH COMMANDS\n";
    for (const CommandHelp* c : commands) {
        out += ".SS " + roff(c->name) + "\n";
        appendRoffSynopsis(out, c->synopsis);
        for (const std::string& p : c->paragraphs) out += ".PP\n" + roff(p) + "\n";
        for (const HelpSection& section : c->sections) {
            out += ".PP\n" + roff(section.title) + ":\n";
            appendRoffItems(out, section.items);
        }
    }
    for (const HelpSection& section : tool.sections) {
        out += ".SH " + roff(upper(section.title)) + "\n";
        appendRoffItems(out, section.items);
    }
    return out;
}

}  // namespace xr9tool
