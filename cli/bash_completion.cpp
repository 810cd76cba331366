// The bash completion script of velmira-cli, made from the synopses in the
// command registry: commands, their options, and what each argument or
// option value is (a SOURCE, a folder, a file, or free text).
#include <cctype>

#include "cli/help_text.h"

namespace velmira::cli {
namespace {

// What completes an argument shown as `metavar` in a synopsis.
const char* ValueKind(const std::string& metavar) {
  // Metavariables are capitalised; "jpg,png,..." is an example, not a file.
  if (metavar.empty() || !std::isupper(static_cast<unsigned char>(metavar[0]))) return "none";
  if (metavar == "SOURCE") return "source";
  if (metavar == "DIR" || metavar == "FOLDER") return "dir";
  if (metavar.find("PATH") != std::string::npos || metavar.find("FILE") != std::string::npos ||
      metavar.find('.') != std::string::npos)
    return "file";
  return "none";
}

// Characters that may stand inside a single-quoted shell word unchanged.
std::string ShellWord(const std::string& text) {
  std::string out;
  for (char c : text)
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '=' || c == ' ') out += c;
  return out;
}

const char kScriptHead[] = R"sh(# bash completion for velmira-cli            -*- shell-script -*-
# Made by velmira-cli from its own command table; do not edit.

# disk:N for each drive velmira-cli counts: the --drive options of the line
# (ndrives), else the VELMIRA_DRIVES list, else the whole-disk block devices.
_velmira_cli_drives()
{
    local n=0 d
    if ((${ndrives:-0} > 0)); then
        for ((n = 0; n < ndrives; n++)); do echo "disk:$n"; done
        return
    fi
    if [[ -n ${VELMIRA_DRIVES-} ]]; then
        local IFS=:
        for d in $VELMIRA_DRIVES; do
            [[ -n $d ]] && echo "disk:$((n++))"
        done
        return
    fi
    for d in $(ls /sys/block 2>/dev/null | sort -V); do
        case $d in
            ram* | zram*) continue ;;
            loop*) [[ -s /sys/block/$d/loop/backing_file ]] || continue ;;
        esac
        echo "disk:$((n++))"
    done
}

# Block devices (disks and partitions) as /dev paths.
_velmira_cli_devices()
{
    local d
    for d in /sys/class/block/*; do
        d=${d##*/}
        case $d in ram* | zram* | loop*) continue ;; esac
        echo "/dev/$d"
    done
}

_velmira_cli_complete()
{
    local kind=$1 cur=$2
    case $kind in
        dir)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -d -- "$cur")
            ;;
        file)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -f -- "$cur")
            ;;
        source)
            if [[ $cur == /dev/* ]]; then
                mapfile -t COMPREPLY < <(compgen -W "$(_velmira_cli_devices)" -- "$cur")
            else
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur"; compgen -W "$(_velmira_cli_drives)" -- "$cur")
            fi
            ;;
    esac
}

# Sets opts (the options of a command), valued ("--to=dir ...": options
# that take a value, and its kind) and args (the kinds of its arguments).
_velmira_cli_command()
{
    opts= valued= args=
    case $1 in
)sh";

const char kScriptTail[] = R"sh(    esac
}

_velmira_cli()
{
    # Words are split at blanks only, so that disk:N stays one word.
    local line=${COMP_LINE:0:COMP_POINT}
    local -a words
    read -ra words <<<"$line"
    [[ $line == *[[:space:]] || ${#words[@]} -eq 0 ]] && words+=("")
    local cur=${words[-1]} prev=
    ((${#words[@]} > 1)) && prev=${words[-2]}
    local cmd= w skip= npos=0 ndrives=0 opts= valued= args= i
    COMPREPLY=()
    for ((i = 1; i < ${#words[@]} - 1; i++)); do
        w=${words[i]}
        if [[ -n $skip ]]; then
            skip=
        elif [[ $w == --drive ]]; then
            skip=drive
            ((++ndrives))
        elif [[ $w == --drive=* ]]; then
            ((++ndrives))
        elif [[ $w == --sector-size ]]; then
            skip=size
        elif [[ $w == -* ]]; then
            [[ -n $cmd && " $valued " == *" $w="* ]] && skip=value
        elif [[ -z $cmd ]]; then
            cmd=$w
            _velmira_cli_command "$cmd"
        else
            ((npos++))
        fi
    done
    if [[ $skip == drive ]]; then
        _velmira_cli_complete file "$cur"
    elif [[ $skip == size ]]; then
        mapfile -t COMPREPLY < <(compgen -W "512 4096" -- "$cur")
    elif [[ $skip == value ]]; then
        local kind=${valued##*" $prev="}
        _velmira_cli_complete "${kind%% *}" "$cur"
    elif [[ -z $cmd ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$_velmira_cli_commands --drive --sector-size --help --version" -- "$cur")
    elif [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$opts --drive --sector-size" -- "$cur")
    else
        local -a kinds=($args)
        ((npos < ${#kinds[@]})) && _velmira_cli_complete "${kinds[npos]}" "$cur"
    fi
    # bash splits the line at ":" too: answer with what follows the last one.
    if [[ $cur == *:* && $COMP_WORDBREAKS == *:* ]]; then
        local colon=${cur%"${cur##*:}"}
        COMPREPLY=("${COMPREPLY[@]#"$colon"}")
    fi
    return 0
}

complete -F _velmira_cli velmira-cli
)sh";

}  // namespace

std::string BashCompletion(const std::vector<CliCommand>& commands) {
  std::string script = kScriptHead;
  std::string names;
  for (const CliCommand& c : commands) {
    const SynopsisParts parts = ParseSynopsis(c.synopsis);
    std::string opts, valued, args;
    for (const SynopsisOption& o : parts.options) {
      opts += (opts.empty() ? "" : " ") + o.name;
      if (!o.value.empty())
        valued += std::string(valued.empty() ? " " : "") + o.name + "=" + ValueKind(o.value) + " ";
    }
    for (const std::string& p : parts.positionals)
      args += (args.empty() ? "" : " ") + std::string(ValueKind(p));
    script += "        " + ShellWord(c.name) + ")\n";
    script += "            opts='" + ShellWord(opts) + "'\n";
    script += "            valued='" + ShellWord(valued) + "'\n";
    script += "            args='" + ShellWord(args) + "'\n";
    script += "            ;;\n";
    names += (names.empty() ? "" : " ") + ShellWord(c.name);
  }
  script += kScriptTail;
  // The command list, before the function that uses it.
  return script.insert(script.find("_velmira_cli()\n{"), "_velmira_cli_commands='" + names + "'\n\n");
}

}  // namespace velmira::cli
