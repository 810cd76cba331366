#!/bin/sh
# Fails when a file of a core layer includes a header of a layer above it.
# The layers, lowest first: platform, storage, results, engines, jobs. A layer
# may include its own headers and those below; the front ends (cli/, app/)
# may include every layer, but neither includes the other.
# Usage: scripts/check_layers.sh [source folder]
root=${1:-$(dirname "$0")/..}
cd "$root" || exit 2

# The layers a folder may include, as an egrep alternation.
allowed() {
  case $1 in
    platform) echo 'platform' ;;
    storage) echo 'platform|storage' ;;
    results) echo 'platform|storage|results' ;;
    engines) echo 'platform|storage|results|engines' ;;
    jobs) echo 'platform|storage|results|engines|jobs' ;;
    cli) echo 'platform|storage|results|engines|jobs|cli' ;;
    app) echo 'platform|storage|results|engines|jobs|app' ;;
  esac
}

# Any include (quoted or bracketed) naming one of these folders is a project include.
project='platform|storage|results|engines|jobs|cli|app'
status=0
for layer in platform storage results engines jobs cli app; do
  [ -d "$layer" ] || { echo "check_layers: no folder $layer/ under $root" >&2; exit 2; }
  ok=$(allowed "$layer")
  bad=$(find "$layer" -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' \) -print |
    xargs grep -nE "^[[:space:]]*#[[:space:]]*include[[:space:]]*[\"<]($project)/" /dev/null |
    grep -vE "#[[:space:]]*include[[:space:]]*[\"<]($ok)/")
  if [ -n "$bad" ]; then
    echo "$bad" | sed "s#\$#   <- $layer/ may include only: $ok#"
    status=1
  fi
done
if [ $status -ne 0 ]; then
  echo "check_layers: an include points up the layers (or between cli/ and app/)" >&2
else
  echo "check_layers: every include points down the layers"
fi
exit $status
