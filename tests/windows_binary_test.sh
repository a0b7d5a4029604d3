#!/usr/bin/env bash
# korvex.exe is a 32-bit x86 console program that needs no DLL beyond Windows' own.
set -u
exe=$1
file "$exe" | grep -q 'PE32 executable (console) Intel 80386' || { file "$exe"; exit 1; }
dlls=$(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $dlls; do
    case $dll in
        kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll | bcrypt.dll) ;;
        *) echo "needs a DLL that Windows does not ship: $dll"; exit 1 ;;
    esac
done
echo "1 passed, 0 failed"
