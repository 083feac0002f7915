# bash completion for pagestow-cli
_pagestow_cli()
{
    local cur prev
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD-1]}
    case $prev in
        --engine)
            COMPREPLY=($(compgen -W "static chromium webkit" -- "$cur"))
            return
            ;;
        --save-dir)
            COMPREPLY=($(compgen -d -- "$cur"))
            return
            ;;
        --load-cookies|--save-cookies)
            COMPREPLY=($(compgen -f -- "$cur"))
            return
            ;;
        --header|--user-agent)
            return
            ;;
        -i|--input)
            COMPREPLY=($(compgen -f -- "$cur") $(compgen -W "-" -- "$cur"))
            return
            ;;
        --timeout|-j|--jobs|--base)
            return
            ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "--engine --save-dir --timeout --input --jobs --json --offline-copy
            --load-cookies --save-cookies --header --user-agent --quiet --verbose --explain --base --version --help -i -j -q -h" -- "$cur"))
    fi
}
complete -o filenames -F _pagestow_cli pagestow-cli
