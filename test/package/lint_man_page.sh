#!/usr/bin/env bash
# Lints a manual page: groff with all warnings, and mandoc when it is installed. Any
# diagnostic fails the test. Usage: lint_man_page.sh PAGE (roff, or roff compressed with gzip)
set -euo pipefail
page=$1

source_text() {
    case $page in
    *.gz) gzip -dc "$page" ;;
    *) cat "$page" ;;
    esac
}

if ! command -v groff >/dev/null; then
    echo "groff is missing (Debian package groff-base)" >&2
    exit 1
fi
warnings=$(source_text | groff -ww -z -man 2>&1) || {
    echo "groff failed: $warnings" >&2
    exit 1
}
if [ -n "$warnings" ]; then
    echo "groff warnings in $page:" >&2
    echo "$warnings" >&2
    exit 1
fi

if command -v mandoc >/dev/null; then
    # Style messages name things that are fine here; warnings and worse are not.
    if ! source_text | mandoc -T lint -W warning; then
        echo "mandoc lint failed for $page" >&2
        exit 1
    fi
fi

# The page must render to a sensible width without groff complaining either.
rendered=$(source_text | groff -ww -man -T utf8 -rLL=80n 2>&1 >/dev/null)
if [ -n "$rendered" ]; then
    echo "groff complains while rendering $page:" >&2
    echo "$rendered" >&2
    exit 1
fi
# Every option and every profile key is documented (written with \- for the dash in roff).
text=$(source_text)
missing=()
for name in 'selftest' 'vid' 'pid' 'hub1bin' 'hubpdsharespi' 'readveronly' 'readbinonly' \
    'checkupdateonly' 'backuponly' 'bus' 'path'; do
    grep -q -F -e "\\-$name=" <<<"$text" || missing+=("-$name")
done
for key in DbgMsg LogFile DeviceNum ReadVerOnly ReadBinOnly CheckUpdateOnly BackUpOnly \
    I2CTestOnly TovrelaBin0 TovrelaBin1 update.ini debug.log '\-\-help' '\-\-version'; do
    grep -q -F -e "$key" <<<"$text" || missing+=("$key")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "not documented in $page: ${missing[*]}" >&2
    exit 1
fi
echo "manual page $page: no warnings"
