#!/usr/bin/env bash
# Checks that includes point one way between the tree's folders, and fails
# naming every line that does not. The build runs it (target `layers`), so a
# violation fails `cmake --build`.
#
#   bash scripts/layers.sh [ROOT]        (default: the checkout)
#
# The rules, one per folder: the folders a file there may include from
# (by the first part of a quoted include), which of the compiler's own
# headers (<...>) it may include: any (yes), none (no), or those listed; and
# the files of the folder that may include any (programs that run on the
# build machine).
#   miniport/    what ships in ne2000.sys: only its own folders, no <...> at all
#   host/hw/     the emulated card: only hw/, nothing of the driver or the wrapper
#   host/loader/ the PE reader and loader: only loader/ (it knows nothing of sim/),
#                freestanding (the bare-metal kernel compiles it); finish_image.cpp
#                is the image build's program and reads and writes the file
#   host/net/    the IPv4 host and ping client, shared with a bare-metal kernel:
#                only net/, and of the compiler's headers only the freestanding
#                integer ones (scripts/freestanding.sh checks the build)
#   host/metal/  the bare-metal kernel: its own folder, the loader, the network
#                host and the driver's platform declarations; of the compiler's
#                headers only the freestanding integer and argument ones
set -uo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root" || exit 2

rules=(
  "miniport|platform driver card receive transmit request|no|"
  "host/hw|hw|yes|"
  "host/loader|loader|stddef.h stdint.h cstddef cstdint|finish_image.cpp"
  "host/net|net|stddef.h stdint.h cstddef cstdint|"
  "host/metal|metal loader net platform|stddef.h stdint.h stdarg.h cstddef cstdint cstdarg|"
)

bad=0
for rule in "${rules[@]}"; do
  IFS='|' read -r folder allowed system hosted <<<"$rule"
  [ -d "$folder" ] || continue
  while IFS= read -r hit; do
    file=${hit%%:*}
    rest=${hit#*:}
    line=${rest%%:*}
    text=${rest#*:}
    if [[ $text =~ \#[[:space:]]*include[[:space:]]*\"([^/\"]+)/ ]]; then
      first=${BASH_REMATCH[1]}
      [[ " $allowed " == *" $first "* ]] && continue
      echo "$file:$line: $folder/ may include only from $allowed; this names $first/" >&2
    elif [[ $text =~ \#[[:space:]]*include[[:space:]]*\<([^\>]*)\> ]]; then
      header=${BASH_REMATCH[1]}
      [ "$system" = yes ] && continue
      [ -n "$hosted" ] && [[ " $hosted " == *" $(basename "$file") "* ]] && continue
      if [ "$system" = no ]; then
        echo "$file:$line: $folder/ is freestanding and includes no compiler or library header" >&2
      elif [[ " $system " == *" $header "* ]]; then
        continue
      else
        echo "$file:$line: $folder/ is freestanding: of the compiler's headers only $system, not <$header>" >&2
      fi
    else
      echo "$file:$line: $folder/ includes only by folder/file.h: $text" >&2
    fi
    bad=1
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include' "$folder" --include='*.h' --include='*.cpp' \
             --include='*.hpp' --include='*.cc' --include='*.inc')
done

if [ "$bad" -ne 0 ]; then
  echo "layers: an include points the wrong way (scripts/layers.sh explains the rules)" >&2
  exit 1
fi
