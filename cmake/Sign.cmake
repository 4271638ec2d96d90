# Signing with the vendor's keys, given through the environment; without
# them (unset or empty) nothing is signed. The project never holds a private key.
#
#   TRELVANE_SIGN_PKCS12     Authenticode certificate and key, a PKCS#12 file,
#   or TRELVANE_SIGN_CERT    the certificate (chain) as PEM
#   and TRELVANE_SIGN_KEY    its private key as PEM;
#   TRELVANE_SIGN_PASS_FILE  the password of that key, if it has one (the
#                            release runs without a terminal to ask on);
#   TRELVANE_SIGN_TIMESTAMP  an RFC 3161 time-stamp server's URL (optional);
#   TRELVANE_MINISIGN_KEY    minisign secret key for the release's SHA256SUMS;
#   TRELVANE_MINISIGN_PASS_FILE  its password (else minisign asks for it).
#
# The Windows archive's install step signs its program with
# trelvane_sign_program(), before the archive's SHA256SUMS is written.
# ./make-release.sh signs release/SHA256SUMS with
#   cmake -DSIGN_SUMS=release/SHA256SUMS -P cmake/Sign.cmake
# which writes release/SHA256SUMS.minisig; -DSIGN_PROGRAM=<file> signs one
# Windows program in place. A key given but unusable stops
# the release: it is never handed out unsigned by mistake.

# Signs the Windows program in place (Authenticode, SHA-256). The signature
# is appended to the unchanged program, so removing it gives back the
# reproducible bytes.
function(trelvane_sign_program program)
  if(NOT "$ENV{TRELVANE_SIGN_PKCS12}" STREQUAL "")
    set(key -pkcs12 "$ENV{TRELVANE_SIGN_PKCS12}")
  elseif(NOT "$ENV{TRELVANE_SIGN_CERT}" STREQUAL "" OR NOT "$ENV{TRELVANE_SIGN_KEY}" STREQUAL "")
    if("$ENV{TRELVANE_SIGN_CERT}" STREQUAL "" OR "$ENV{TRELVANE_SIGN_KEY}" STREQUAL "")
      message(FATAL_ERROR "Signing ${program}: TRELVANE_SIGN_CERT and TRELVANE_SIGN_KEY go together")
    endif()
    set(key -certs "$ENV{TRELVANE_SIGN_CERT}" -key "$ENV{TRELVANE_SIGN_KEY}")
  else()
    return()
  endif()
  if(NOT "$ENV{TRELVANE_SIGN_PASS_FILE}" STREQUAL "")
    list(APPEND key -readpass "$ENV{TRELVANE_SIGN_PASS_FILE}")
  endif()
  if(NOT "$ENV{TRELVANE_SIGN_TIMESTAMP}" STREQUAL "")
    list(APPEND key -ts "$ENV{TRELVANE_SIGN_TIMESTAMP}")
  endif()
  find_program(osslsigncode osslsigncode)
  if(NOT osslsigncode)
    message(FATAL_ERROR "Signing ${program}: no osslsigncode (Debian package osslsigncode)")
  endif()
  file(REMOVE "${program}.signed")
  execute_process(COMMAND "${osslsigncode}" sign ${key} -h sha256 -n "Trelvane Software Updater"
                          -in "${program}" -out "${program}.signed"
                  RESULT_VARIABLE failed OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(failed)
    file(REMOVE "${program}.signed")
    message(FATAL_ERROR "Signing ${program} failed:\n${out}")
  endif()
  file(RENAME "${program}.signed" "${program}")
endfunction()

# Signs a checksum list with minisign into <list>.minisig, when given a key.
function(trelvane_sign_sums sums)
  if("$ENV{TRELVANE_MINISIGN_KEY}" STREQUAL "")
    return()
  endif()
  find_program(minisign minisign)
  if(NOT minisign)
    message(FATAL_ERROR "Signing ${sums}: no minisign (Debian package minisign)")
  endif()
  set(password)
  if(NOT "$ENV{TRELVANE_MINISIGN_PASS_FILE}" STREQUAL "")
    set(password INPUT_FILE "$ENV{TRELVANE_MINISIGN_PASS_FILE}")
  endif()
  file(REMOVE "${sums}.minisig")
  execute_process(COMMAND "${minisign}" -S -s "$ENV{TRELVANE_MINISIGN_KEY}" -m "${sums}"
                  ${password} RESULT_VARIABLE failed)
  if(failed)
    file(REMOVE "${sums}.minisig")
    message(FATAL_ERROR "Signing ${sums} failed")
  endif()
endfunction()

if(DEFINED SIGN_SUMS)
  trelvane_sign_sums("${SIGN_SUMS}")
endif()
if(DEFINED SIGN_PROGRAM)
  trelvane_sign_program("${SIGN_PROGRAM}")
endif()
