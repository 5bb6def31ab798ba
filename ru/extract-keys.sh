#!/usr/bin/env bash
# Writes the translatable keys of the sources to a .pot file (default:
# ru/kp6.pot). Keys reach gettext_easy directly or through the window's
# widget helpers, whose key is the argument numbered below; texts below the
# window that it shows are marked W_ (i18n/words.h).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-ru/kp6.pot}
xgettext --language=C++ --from-code=UTF-8 --omit-header --sort-output --no-location \
    --keyword=gettext_easy --keyword=make_button:5 --keyword=make_radio:5 \
    --keyword=make_field:3 --keyword=make_shortcut_button:3 --keyword=dialog_button:2 \
    --keyword=show_failure:1 --keyword=N_ --keyword=W_ \
    -o "$out" app/*.cpp device/*.cpp discovery/net_url.cpp
