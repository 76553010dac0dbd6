#!/usr/bin/env python3
"""Writes what describes the command's options from the options themselves, as
`quillframer --describe-options` gives them: the COMMANDS and OPTIONS of docs/quillframer.1, the
reference at the end of docs/commands.md (both between their marks), and the bash and zsh
completions in scripts/completion/. So none can drift from --help.

usage: gen-docs.py QUILLFRAMER            rewrite the files (make docs does this)
       gen-docs.py --check QUILLFRAMER    exit 1, showing the difference, when one is out of date
"""
import difflib
import json
import pathlib
import re
import subprocess
import sys

SOURCE = pathlib.Path(__file__).resolve().parent.parent
MAN = SOURCE / "docs/quillframer.1"
MARKDOWN = SOURCE / "docs/commands.md"
BASH = SOURCE / "scripts/completion/quillframer.bash"
ZSH = SOURCE / "scripts/completion/_quillframer"

MAN_BEGIN = '.\\" From here to the end mark: written by scripts/gen-docs.py from the options (make docs).'
MAN_END = '.\\" End of the part scripts/gen-docs.py writes.'
MD_BEGIN = ("<!-- From here to the end mark: written by scripts/gen-docs.py from the command's options "
            "(make docs); change the options in tools/, not here. -->")
MD_END = "<!-- End of the part scripts/gen-docs.py writes. -->"

# Option values that name a file, then one that names a folder; any other value is typed.
FILE_VALUES = {"FILE", "PATH", "OUT", "TEXT", "V", "A"}
DIR_VALUES = {"DIR"}
# Options that stop the command at once and go with nothing else.
ALONE = {"--help", "--version"}


def key(option):
    return (tuple(option["names"]), option["value"], option["description"])


def shared_options(top):
    """Options given alike to the command itself or to several subcommands, in the order first seen."""
    seen, order = {}, []
    for option in top["options"]:
        seen[key(option)] = 2
        order.append(option)
    for command in top["commands"]:
        for option in command["options"]:
            k = key(option)
            if k not in seen:
                seen[k] = 0
                order.append(option)
            seen[k] += 1
    # A required option is part of its command's usage line, so it stays with the command.
    return [option for option in order if seen[key(option)] >= 2 and not option["required"]]


def own_and_shared(command, shared):
    keys = {key(option) for option in shared}
    own = [option for option in command["options"] if key(option) not in keys]
    common = [option for option in command["options"] if key(option) in keys]
    return own, common


def summary(description):
    """The description's first sentence, short enough for a completion menu."""
    text = " ".join(description.split())
    first = re.split(r"\. |: |; | \(", text, maxsplit=1)[0].rstrip(".")
    if len(first) > 64:
        cut = max(first.rfind(", ", 0, 64), first.rfind("; ", 0, 64))
        first = first[:cut] if cut > 0 else first[:64]
    return first


def usage(command):
    words = ["quillframer", command["name"]]
    for option in command["options"]:
        if option["required"]:
            words.append(f'{option["names"][0]} {option["value"]}')
    words.append("[options]")
    for positional in command["positionals"]:
        word = positional["name"] + ("..." if positional["repeatable"] else "")
        words.append(word if positional["required"] else f"[{word}]")
    return words


def check_text(option):
    value, check = option["value"], option["check"]
    match = re.search(r"in \[(-?\d+) - (-?\d+)\]", check)
    if match:
        return f"{value} from {match.group(1)} to {match.group(2)}"
    if check == "POSITIVE":
        return f"{value} above 0"
    return check


def option_notes(option):
    notes = [text for text in (check_text(option),) if text]
    if option["repeatable"] and "repeatable" not in option["description"]:
        notes.append("repeatable")
    if option["required"]:
        notes.append("required")
    return notes


def taken_by(option, top):
    """Where a shared option may stand, as a sentence."""
    users = [c["name"] for c in top["commands"] if key(option) in {key(o) for o in c["options"]}]
    others = [c["name"] for c in top["commands"] if c["name"] not in users]
    if key(option) not in {key(o) for o in top["options"]}:
        return "Every command" if not others else "Commands: " + ", ".join(users)
    if not users:
        return "Before the command"
    if not others:
        return "Before or after the command"
    if len(others) <= 2:
        return "Before the command, or after any but " + " and ".join(others)
    return "Before the command, or after " + ", ".join(users)


def paragraphs(description):
    """Lines of a description as (indented, text): indented lines are laid out as given."""
    return [(line.startswith(" "), line) for line in description.split("\n")]


def laid_out(description, start, end, plain, verbatim):
    """A description's lines, its indented runs kept as laid out between start and end."""
    out, inside = [], False
    for indented, line in paragraphs(description):
        if indented != inside:
            out.append(start if indented else end)
            inside = indented
        out.append(verbatim(line) if indented else plain(line))
    if inside:
        out.append(end)
    return out


# ---- the man page

def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text.startswith((".", "'")) else text


def roff_description(description):
    return laid_out(description, ".nf", ".fi", roff, roff)


def roff_names(option):
    names = ", ".join(f"\\fB{roff(name)}\\fR" for name in option["names"])
    return names + (f" \\fI{roff(option['value'])}\\fR" if option["value"] else "")


def roff_option(option):
    notes = option_notes(option)
    text = option["description"] + (f" ({', '.join(notes)})" if notes else "")
    return [".TP", roff_names(option), roff(text)]


def man_part(top):
    shared = shared_options(top)
    out = [".SH COMMANDS"]
    for command in top["commands"]:
        own, common = own_and_shared(command, shared)
        out.append('.SS "' + " ".join(roff(word) for word in usage(command)) + '"')
        out += roff_description(command["description"])
        for positional in command["positionals"]:
            out += [".TP", f"\\fI{roff(positional['name'])}\\fR", roff(positional["description"])]
        for option in own:
            out += roff_option(option)
        if common:
            out += [".PP", "Also the shared options " +
                    ", ".join(f"\\fB{roff(name)}\\fR" for o in common for name in o["names"]) + "."]
    out.append(".SH OPTIONS")
    out.append("Given alike to several commands (those before the command apply to it too):")
    for option in shared:
        out += roff_option(option)
        out[-1] += roff(". " + taken_by(option, top))
    return out


# ---- docs/commands.md

def md_escape(text):
    parts = text.split("`")
    for i in range(0, len(parts), 2):  # outside code spans
        parts[i] = re.sub(r"([\\*_<>\[\]])", r"\\\1", parts[i])
    return "`".join(parts)


def md_names(option):
    names = [f"`{name}`" for name in option["names"]]
    if option["value"]:
        names[-1] = f"`{option['names'][-1]} {option['value']}`"
    return ", ".join(names)


def md_option(option):
    notes = option_notes(option)
    return f"- {md_names(option)}" + (f" ({', '.join(notes)})" if notes else "") + \
        f": {md_escape(option['description'])}"


def md_description(description):
    return laid_out(description, "```text", "```", md_escape, lambda line: line)


def md_part(top):
    shared = shared_options(top)
    out = ["### Every command and option", "",
           "What each command's `--help` says; `quillframer COMMAND --help` prints the same.", ""]
    for command in top["commands"]:
        own, common = own_and_shared(command, shared)
        out += [f"#### `{' '.join(usage(command))}`", ""] + md_description(command["description"]) + [""]
        out += [f"- `{p['name']}`: {md_escape(p['description'])}" for p in command["positionals"]]
        out += [md_option(option) for option in own]
        if common:
            out.append("- and the [shared options](#shared-options) " +
                       ", ".join(f"`{name}`" for o in common for name in o["names"]))
        out.append("")
    out += ["#### Shared options", ""]
    out += [md_option(option) + f". {taken_by(option, top)}." for option in shared]
    return out


# ---- completions

def value_kind(option):
    value = option["value"]
    if not value:
        return ("flag",)
    if "|" in value:
        return ("choices", value.split("|"))
    if value in DIR_VALUES:
        return ("dirs",)
    if value in FILE_VALUES:
        return ("files",)
    return ("typed",)


def positional_kind(positional):
    return ("commands",) if positional["name"] == "COMMAND" else ("files",)


def bash_value_cases(options, indent):
    by_action = {}
    for option in options:
        kind = value_kind(option)
        if kind[0] == "flag":
            continue
        if kind[0] == "choices":
            action = f'COMPREPLY=($(compgen -W "{" ".join(kind[1])}" -- "$cur"))'
        elif kind[0] in ("files", "dirs"):
            action = f'_quillframer_paths -{"d" if kind[0] == "dirs" else "f"} "$cur"'
        else:
            action = ":"  # a value to type
        by_action.setdefault(action, []).extend(option["names"])
    pad = " " * indent
    out = [pad + "case $prev in"]
    for action, names in by_action.items():
        out.append(f"{pad}    {' | '.join(names)}) {action}; return ;;")
    out.append(pad + "esac")
    return out


def bash_names(options):
    return " ".join(name for option in options for name in option["names"])


def bash_part(top):
    value_options = [o for o in top["options"] if o["value"]]
    skips = " | ".join(name for o in value_options for name in o["names"])
    out = [
        "# bash completion for quillframer: its commands, their options and the files they take.",
        "# Written by scripts/gen-docs.py from the command's options (make docs): change those, not this.",
        "# Plain bash (complete -F and compgen), so it needs no bash-completion package: source it from",
        "# ~/.bashrc, or let bash-completion load it from share/bash-completion/completions.",
        "",
        "# Files (-f) or folders (-d) that start with $2, names with spaces kept whole.",
        "_quillframer_paths()",
        "{",
        "    compopt -o filenames 2>/dev/null",
        '    mapfile -t COMPREPLY < <(compgen "$1" -- "$2")',
        "}",
        "",
        "_quillframer()",
        "{",
        '    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} command="" i',
        "    # bash splits --name=value at the =: the value belongs to the option before it.",
        '    if [[ $cur == = ]]; then',
        '        cur=""',
        '    elif [[ $prev == = ]]; then',
        "        prev=${COMP_WORDS[COMP_CWORD - 2]}",
        "    fi",
        "    for ((i = 1; i < COMP_CWORD; i++)); do",
        "        case ${COMP_WORDS[i]} in",
        f"            {skips}) [[ ${{COMP_WORDS[i + 1]}} == = ]] && ((i++)); ((i++)) ;;",
        "            -*) ;;",
        "            *) command=${COMP_WORDS[i]}; break ;;",
        "        esac",
        "    done",
        "    case $command in",
    ]
    commands = " ".join(c["name"] for c in top["commands"])
    for command in top["commands"]:
        out.append(f"        {command['name']})")
        out += bash_value_cases(command["options"], 12)
        out.append(f'            if [[ $cur == -* ]]; then')
        out.append(f'                COMPREPLY=($(compgen -W "{bash_names(command["options"])}" -- "$cur"))')
        kinds = {positional_kind(p) for p in command["positionals"]}
        if ("commands",) in kinds:
            out.append("            else")
            out.append(f'                COMPREPLY=($(compgen -W "{commands}" -- "$cur"))')
        elif kinds:
            out.append("            else")
            out.append('                _quillframer_paths -f "$cur"')
        out.append("            fi")
        out.append("            ;;")
    out.append("        *)")
    out += bash_value_cases(top["options"], 12)
    out += [
        "            if [[ $cur == -* ]]; then",
        f'                COMPREPLY=($(compgen -W "{bash_names(top["options"])}" -- "$cur"))',
        "            else",
        f'                COMPREPLY=($(compgen -W "{commands}" -- "$cur"))',
        "            fi",
        "            ;;",
        "    esac",
        "}",
        "complete -F _quillframer quillframer",
    ]
    return out


def zsh_quote(text):
    return "'" + text.replace("'", "'\\''") + "'"


def zsh_description(text):
    return re.sub(r"([\\\[\]])", r"\\\1", " ".join(text.split()))


def zsh_action(kind):
    if kind[0] == "choices":
        return "(" + " ".join(kind[1]) + ")"
    if kind[0] == "files":
        return "_files"
    if kind[0] == "dirs":
        return "_files -/"
    if kind[0] == "commands":
        return "->command"
    return " "


def zsh_option_rules(option):
    names = option["names"]
    if ALONE & set(names):
        exclusion = "(- *)"
    else:
        excluded = ([] if option["repeatable"] else names) + option["excludes"]
        exclusion = f"({' '.join(excluded)})" if excluded else ""
    star = "*" if option["repeatable"] else ""
    kind = value_kind(option)
    rules = []
    for name in names:
        rule = f"{exclusion}{star}{name}"
        if kind[0] == "flag":
            rule += f"[{zsh_description(option['description'])}]"
        else:
            rule += ("=" if name.startswith("--") else "") + f"[{zsh_description(option['description'])}]"
            rule += f":{option['value']}:{zsh_action(kind)}"
        rules.append(zsh_quote(rule))
    return rules


def zsh_positional_rules(command):
    rules = []
    for positional in command["positionals"]:
        head = "*" if positional["repeatable"] else ""
        optional = "" if positional["required"] else ":"
        action = zsh_action(positional_kind(positional))
        if action == "->command":
            action = "(" + " ".join(c["name"] for c in command.get("siblings", [])) + ")"
        rules.append(zsh_quote(f"{head}:{optional}{positional['name']}:{action}"))
    return rules


def zsh_arguments(rules, indent):
    pad = " " * indent
    return [f"{pad}_arguments -S \\"] + [f"{pad}  {rule} \\" for rule in rules[:-1]] + [f"{pad}  {rules[-1]}"]


def zsh_part(top):
    out = [
        "#compdef quillframer",
        "# zsh completion for quillframer: its commands, their options and the files they take.",
        "# Written by scripts/gen-docs.py from the command's options (make docs): change those, not this.",
        "local curcontext=$curcontext state line",
        "typeset -A opt_args",
        "local -a commands",
        "commands=(",
    ]
    out += [f"  {zsh_quote(c['name'] + ':' + summary(c['description']))}" for c in top["commands"]]
    out.append(")")
    rules = [rule for option in top["options"] for rule in zsh_option_rules(option)]
    rules += ["'1:command:->command'", "'*::argument:->argument'"]
    out += zsh_arguments(rules, 0)[:-1] + [zsh_arguments(rules, 0)[-1] + " && return"]
    out += [
        "case $state in",
        "  command) _describe -t commands 'quillframer command' commands ;;",
        "  argument)",
        "    curcontext=${curcontext%:*:*}:quillframer-$words[1]:",
        "    case $words[1] in",
    ]
    for command in top["commands"]:
        command = dict(command, siblings=top["commands"])
        rules = [rule for option in command["options"] for rule in zsh_option_rules(option)]
        rules += zsh_positional_rules(command)
        out.append(f"      {command['name']})")
        out += zsh_arguments(rules, 8)
        out.append("        ;;")
    out += ["    esac", "    ;;", "esac"]
    return out


# ---- files

def between(text, begin, end, lines, name):
    if text.count(begin) != 1 or text.count(end) != 1 or text.index(begin) > text.index(end):
        sys.exit(f"gen-docs.py: {name} needs exactly one pair of marks:\n{begin}\n{end}")
    head, rest = text.split(begin, 1)
    tail = rest.split(end, 1)[1]
    return head + begin + "\n" + "\n".join(lines) + "\n" + end + tail


def main(argv):
    check = "--check" in argv
    args = [a for a in argv if a != "--check"]
    if len(args) != 1:
        sys.exit(__doc__.strip())
    described = subprocess.run([args[0], "--describe-options"], check=True, capture_output=True, text=True)
    top = json.loads(described.stdout)
    wanted = {
        MAN: between(MAN.read_text(), MAN_BEGIN, MAN_END, man_part(top), MAN.name),
        MARKDOWN: between(MARKDOWN.read_text(), MD_BEGIN, MD_END, md_part(top), MARKDOWN.name),
        BASH: "\n".join(bash_part(top)) + "\n",
        ZSH: "\n".join(zsh_part(top)) + "\n",
    }
    stale = []
    for path, text in wanted.items():
        now = path.read_text() if path.exists() else ""
        if now == text:
            continue
        stale.append(path)
        if check:
            name = str(path.relative_to(SOURCE))
            sys.stdout.writelines(difflib.unified_diff(now.splitlines(True), text.splitlines(True), name, name + " (from the options)"))
        else:
            path.write_text(text)
    if check and stale:
        print(f"gen-docs.py: {len(stale)} file(s) out of date with the options; `make docs` rewrites them")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
