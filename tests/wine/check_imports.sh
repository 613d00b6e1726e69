#!/bin/sh
# Reads setup.exe's import table: it may name only system DLLs (kernel32,
# user32, gdi32, comctl32, advapi32 and the C runtime), and comctl32 only
# by ordinal 17, the common controls' initialisation entry.
#   check_imports.sh OBJDUMP SETUP.EXE NAME
objdump=$1
exe=$2
name=$3
if [ ! -f "$exe" ]; then
  echo "$name: no $exe"
  exit 1
fi
table=$("$objdump" -p "$exe") || exit 1
status=0
dlls=$(printf '%s\n' "$table" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "$name: imports $(echo $dlls)"
for dll in $dlls; do
  case $dll in
    kernel32.dll | user32.dll | gdi32.dll | comctl32.dll | advapi32.dll | msvcrt.dll) ;;
    *) echo "FAIL: $name imports $dll, which is not a system DLL"; status=1 ;;
  esac
done
printf '%s\n' "$table" | grep -q 'Subsystem.*(Windows GUI)' || { echo "FAIL: $name is not a GUI program"; status=1; }
# comctl32's entries: the lines after its DLL Name up to the blank line;
# an entry by ordinal has the thunk's top bit set and the ordinal (0x11)
# below it.
entries=$(printf '%s\n' "$table" | awk 'tolower($0) ~ /dll name: comctl32.dll/ {on = 1; next} on && /^[[:space:]]*$/ {on = 0} on && !/vma:/ {print}')
echo "$name: comctl32 entries: $(echo $entries)"
if [ "$(printf '%s\n' "$entries" | grep -c .)" != 1 ] || ! printf '%s\n' "$entries" | grep -Eq '^[[:space:]]*80*11[[:space:]]+[0-9]+[[:space:]]+<none>[[:space:]]*$'; then
  echo "FAIL: $name does not import comctl32 by ordinal 17 alone"
  status=1
fi
exit $status
