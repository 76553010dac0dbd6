#!/usr/bin/env bash
# The plug-in's folders stand on each other in one direction only:
#   plugin/ includes nothing from movie/, iff/, playback/ or recording/;
#   plugin/, movie/, iff/ and playback/ include nothing from recording/.
#   tools/ includes no plug-in header: it reads movies through the host's survey.
#   util/ includes nothing from the host, the plug-in or the folders that use it.
set -euo pipefail
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"
status=0

# Prints "file:line: include" for each include in the given folders of a folder in the list.
includes() {
  local pattern=$1; shift
  grep -rnE --include='*.c' --include='*.cpp' --include='*.h' --include='*.hpp' \
    "^[[:space:]]*#[[:space:]]*include[[:space:]]*\"($pattern)/" "$@" 2>/dev/null || true
}

bad=$(includes 'movie|iff|playback|recording' plugin)
if [ -n "$bad" ]; then
  echo "check-layout: plugin/ reaches up into the folders that stand on it:" >&2
  echo "$bad" >&2
  status=1
fi
bad=$(includes 'recording' plugin movie iff playback)
if [ -n "$bad" ]; then
  echo "check-layout: the plug-in's folders include the recording build:" >&2
  echo "$bad" >&2
  status=1
fi
bad=$(includes 'plugin|movie|iff|playback|recording' tools)
if [ -n "$bad" ]; then
  echo "check-layout: tools/ includes plug-in headers:" >&2
  echo "$bad" >&2
  status=1
fi
bad=$(includes 'qfhost|qfmedia|authoring|media|tools|testing|include/quillframer|quillframer|plugin|movie|iff|playback|recording' util)
if [ -n "$bad" ]; then
  echo "check-layout: util/ includes from the folders that stand on it or from the plug-in:" >&2
  echo "$bad" >&2
  status=1
fi
[ $status -eq 0 ] && echo "layout: plugin/ at the bottom, recording/ beside the plug-in's folders, tools/ over the host, util/ under them all"
exit $status
