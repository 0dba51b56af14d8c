#!/usr/bin/env bash
# Lints the manual pages: groff with all warnings and mandoc, and renders them; any diagnostic
# fails. tovrela-update(1) must document every option, profile key and exit status that the
# tool has, tovrela-sim(1) every option that the simulator's usage lists.
# Usage: lint_man_page.sh SOURCE_DIR PAGE... (roff, or roff compressed with gzip)
set -euo pipefail
source_dir=$(realpath "$1")
shift

. "$(dirname "$(realpath "$0")")/checks.sh"

for tool in groff mandoc; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing (scripts/setup installs it)" >&2
        exit 1
    }
done

for page in "$@"; do
    case $page in
    *.gz) text=$(gzip -dc "$page") ;;
    *) text=$(cat "$page") ;;
    esac
    warnings=$(groff -ww -z -man 2>&1 <<<"$text") || fail "groff failed on $page: $warnings"
    [ -z "$warnings" ] || fail "groff warnings in $page: $warnings"
    # Style messages name things that are fine here; warnings and worse are not.
    lint=$(mandoc -T lint -W warning 2>&1 <<<"$text") || fail "mandoc lint of $page: $lint"
    # The page must render to a sensible width without groff complaining either.
    rendered=$(groff -ww -man -T utf8 -rLL=80n 2>&1 >/dev/null <<<"$text")
    [ -z "$rendered" ] || fail "groff complains while rendering $page: $rendered"

    case $(basename "$page") in
    tovrela-update.1*)
        expect_options_keys_statuses "$page" "$text" "$source_dir" '\-'
        for word in update.ini debug.log '\-\-help' '\-\-version' TOVRELA_LOCK_DIR \
            '/usr/share/tovrela\-update/70\-tovrela\-update.rules' \
            '/usr/share/tovrela\-update/update.ini'; do
            grep -q -F -e "$word" <<<"$text" || fail "$page does not mention $word"
        done
        ;;
    tovrela-sim.1*)
        options=$(sed -n 's/^ *"  \(--[a-z-]*\).*/\1/p' "$source_dir/sim/sim_options.cpp")
        [ "$(wc -l <<<"$options")" -ge 10 ] || fail "found only these simulator options: $options"
        for option in $options; do
            grep -q -F -e "${option//-/\\-}" <<<"$text" || fail "$page does not name $option"
        done
        ;;
    *) fail "no documentation checks for $page" ;;
    esac
done

finish "manual pages $*: no warnings, everything documented"
