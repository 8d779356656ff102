#!/bin/sh
# Writes the golden preset files by hand from the layout rule, not with the code under test.
# An element created at depth d (the root is 1) adds to its parent d-2 tabs before it and a line
# feed with d-2 tabs after it, and holds a line feed with d-1 tabs itself.
set -eu
cd "$(dirname "$0")"
decl="<?xml version='1.0' encoding='utf-8'?>"

# entry POSITION NAME SLOT: one PrepositionPPP element with its Name and Slot (depth 3).
entry() {
  printf '<Preposition%s>\n\t\t\t\t<Name value="%s">\n\t\t\t</Name>\n\t\t\t\t<Slot value="%s">\n\t\t\t</Slot>\n\t\t</Preposition%s>' \
    "$1" "$2" "$3" "$1"
}

printf '%s\n<Quenlark/>\n' "$decl" > fresh.preset

# Door on channel 0 (PtzChannel01), camera slot 0.
{
  printf '%s\n<Quenlark>' "$decl"
  printf '<PtzChannel01>\n\t\t'; entry 000 Door 0; printf '\n\t</PtzChannel01>\n'
  printf '</Quenlark>\n'
} > first_preset.preset

# Door (slot 0) and Gate (slot 1) on channel 0, "Süd 50%" (slot 0) on channel 9 (PtzChannel10).
{
  printf '%s\n<Quenlark>' "$decl"
  printf '<PtzChannel01>\n\t\t'; entry 000 Door 0; printf '\n\t\t'; entry 001 Gate 1; printf '\n\t</PtzChannel01>\n'
  printf '<PtzChannel10>\n\t\t'; entry 000 'Süd 50%' 0; printf '\n\t</PtzChannel10>\n'
  printf '</Quenlark>\n'
} > three_presets.preset

# three_presets after Door is removed: channel 0 is rewritten. Its element goes with the line feed
# after it, and the rewritten element is appended after PtzChannel10.
{
  printf '%s\n<Quenlark>' "$decl"
  printf '<PtzChannel10>\n\t\t'; entry 000 'Süd 50%' 0; printf '\n\t</PtzChannel10>\n'
  printf '<PtzChannel01>\n\t\t'; entry 000 Gate 1; printf '\n\t</PtzChannel01>\n'
  printf '</Quenlark>\n'
} > after_removal.preset
