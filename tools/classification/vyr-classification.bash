# bash completion for vyr-classification: commands, options, level names,
# folders for the folder options, and classification ids as
# `vyr-classification list` finds them in the folders the command line names.
# Installed as share/bash-completion/completions/vyr-classification; to try
# it by hand: source tools/classification/vyr-classification.bash

_vyr_classification_ids() {
    # The ids of `list`, run with the folder options typed so far; the level
    # names and the "(does not read: ...)" mark after each id are cut off.
    "${COMP_WORDS[0]}" "${_vyr_folders[@]}" list 2>/dev/null |
        sed -E -e '/^\(/d' -e 's/ +(sys|shared|user)( (shared|user))*( +\(does not read: [a-z ]+\))?$//'
}

_vyr_classification() {
    local cur=${COMP_WORDS[COMP_CWORD]}
    local prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    local commands="folders list show overrides cat export import edit check create add set remove remove-source
        remove-classified inherit classify"
    local global="--root --system --shared --user --verbose --help --version"

    # The command, the folder options and the positional words after the
    # command, from the words before the cursor.
    local command= positionals=0 word i ended=
    local _vyr_folders=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        if [[ -z $ended ]]; then
            case $word in
            --root | --system | --shared | --user)
                _vyr_folders+=("$word" "${COMP_WORDS[i + 1]}")
                ((i++))
                continue
                ;;
            --root=* | --system=* | --shared=* | --user=*)
                _vyr_folders+=("$word")
                continue
                ;;
            --level | --source | --classified | --text[2-5] | --filter | --in | --out | --update | --module)
                ((i++))
                continue
                ;;
            --) ended=1 && continue ;;
            -*) continue ;;
            esac
        fi
        if [[ -z $command ]]; then
            command=$word
        else
            ((positionals++))
        fi
    done

    local writable="shared user"
    case $prev in
    --root | --system | --shared | --user)
        mapfile -t COMPREPLY < <(compgen -d -- "$cur")
        return
        ;;
    --level | --in | --out)
        case $command in
        show | export) mapfile -t COMPREPLY < <(compgen -W "sys system $writable" -- "$cur") ;;
        classify) [[ $prev == --in ]] && writable="sys system $writable"
            mapfile -t COMPREPLY < <(compgen -W "$writable" -- "$cur") ;;
        *) mapfile -t COMPREPLY < <(compgen -W "$writable" -- "$cur") ;;
        esac
        return
        ;;
    --filter | --update)
        mapfile -t COMPREPLY < <(compgen -W "$(_vyr_classification_ids)" -- "$cur")
        return
        ;;
    --source | --classified | --text[2-5])
        COMPREPLY=()
        return
        ;;
    --module)
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        return
        ;;
    esac

    if [[ $cur == -* && -z $ended ]]; then
        local options=
        case $command in
        list) options="--json" ;;
        show) options="--source --classified --level --json" ;;
        overrides) options="--json" ;;
        export) options="--level" ;;
        import) options="--level --replace" ;;
        check) options="--json --allow-missing" ;;
        create) options="--level --text2 --text3 --text4 --text5 --flag1 --flag2" ;;
        add | set | remove | remove-source | remove-classified | inherit | edit) options="--level" ;;
        classify) options="--filter --in --out --update --module" ;;
        esac
        mapfile -t COMPREPLY < <(compgen -W "$global $options" -- "$cur")
        return
    fi
    if [[ -z $command ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$commands" -- "$cur")
        return
    fi
    # The first word after every command but folders, list and check is a
    # classification id; import's second is a file.
    case $command:$positionals in
    folders:* | list:* | check:*) COMPREPLY=() ;;
    import:1) mapfile -t COMPREPLY < <(compgen -f -- "$cur") ;;
    *:0)
        local id
        COMPREPLY=()
        while IFS= read -r id; do
            [[ $id == "$cur"* ]] && COMPREPLY+=("$(printf '%q' "$id")")
        done < <(_vyr_classification_ids)
        ;;
    *) COMPREPLY=() ;;
    esac
}

complete -F _vyr_classification vyr-classification
