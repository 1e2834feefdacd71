#!/bin/bash
# The layers point one way: base <- crypto <- protocol <- config <- agent <-
# monitors, actions; tools stand outside the agent. A file may include
# headers of its own folder and of lower layers only (monitors and actions
# sit side by side and do not include each other); a unit test may also
# include the shared test support in tests/.
# Usage: layers_test.sh SOURCE_DIR
set -u
src=$(cd "${1:?usage: layers_test.sh SOURCE_DIR}" && pwd)
rank() {
  case $1 in
    base) echo 0 ;; crypto) echo 1 ;; protocol) echo 2 ;; config) echo 3 ;; agent) echo 4 ;;
    monitors | actions) echo 5 ;; tools) echo 6 ;; *) echo 99 ;;
  esac
}
. "$(dirname "$0")/checks.sh"
for dir in base crypto protocol config agent monitors actions tools; do
  mine=$(rank "$dir")
  while IFS=: read -r file line text; do
    target=${text#*\"}
    target=${target%%/*}
    case $file in *_test.cc) [ "$target" = tests ] && continue ;; esac
    [ "$target" = "$dir" ] && continue
    theirs=$(rank "$target")
    if [ "$theirs" -ge "$mine" ]; then
      fail "$dir/${file##*/}:$line includes ${text#*#include } (a layer at or above $dir)"
    fi
  done < <(cd "$src/$dir" && grep -Hn '^#include "[a-z_]*/' -- *.cc *.h 2>/dev/null)
done
finish "layers: ok"
