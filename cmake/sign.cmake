# Signs a program with Authenticode (SHA-256) through osslsigncode; the build
# runs it after linking Launcher.exe when LAUNCHER_SIGN_PKCS12 is set.
#   cmake -DEXE=Launcher.exe -DPKCS12=cert.pfx [-DPASSWORD_FILE=pass.txt]
#         [-DTIMESTAMP_URL=http://...] [-DOSSLSIGNCODE=osslsigncode] -P sign.cmake
# EXE is replaced only by a complete signed copy; on failure it is left as it
# was and the script fails with one message saying why.
# The build also runs it before linking, with -DSTEP=before-link: that moves
# the previous EXE aside to EXE.previous, and a failed signing moves it back.
# A rename keeps its time stamp, so Make, which deletes the target of a failed
# recipe only if the recipe changed it, leaves it, and the next build links
# and signs again; without it a wrong password would leave no program at all.
set(previous "${EXE}.previous")
if(STEP STREQUAL "before-link")
  if(EXISTS "${EXE}")
    file(RENAME "${EXE}" "${previous}")
  endif()
  return()
endif()
foreach(required EXE PKCS12)
  if(NOT ${required})
    message(FATAL_ERROR "sign.cmake needs -D${required}=...")
  endif()
endforeach()
if(NOT OSSLSIGNCODE)
  set(OSSLSIGNCODE osslsigncode)
endif()

set(signed "${EXE}.signing")
file(REMOVE "${signed}")  # osslsigncode refuses to write over a file
set(options -pkcs12 "${PKCS12}" -h sha256 -n "Zovra Launcher")
if(PASSWORD_FILE)
  list(APPEND options -readpass "${PASSWORD_FILE}")
endif()
if(TIMESTAMP_URL)
  list(APPEND options -ts "${TIMESTAMP_URL}")
endif()
execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} -in "${EXE}" -out "${signed}"
                RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(status EQUAL 0 AND EXISTS "${signed}")
  file(RENAME "${signed}" "${EXE}")
  file(REMOVE "${previous}")
  return()
endif()
file(REMOVE "${signed}")
if(output MATCHES "mac verify failure|Wrong password")
  if(PASSWORD_FILE)
    set(problem "the password in ${PASSWORD_FILE} does not open ${PKCS12} (wrong password)")
  else()
    set(problem "${PKCS12} needs a password: set LAUNCHER_SIGN_PASSWORD_FILE to a file holding it")
  endif()
elseif(output MATCHES "Failed to extract PKCS#12|Failed to parse PKCS#12")
  set(problem "${PKCS12} is not a readable PKCS#12 (.pfx) file")
elseif(TIMESTAMP_URL AND output MATCHES "[Tt]imestamp|TSA|[Cc]url")
  set(problem "the timestamp server ${TIMESTAMP_URL} did not answer with a timestamp")
elseif(status MATCHES "^[0-9]+$")
  string(STRIP "${output}" output)
  set(problem "osslsigncode failed: ${output}")
else()
  set(problem "${OSSLSIGNCODE} could not be run (${status}); scripts/setup.sh installs osslsigncode")
endif()
if(EXISTS "${previous}")
  file(RENAME "${previous}" "${EXE}")
  set(problem "${problem}. ${EXE} is the one built before again")
else()
  set(problem "${problem}. ${EXE} is not signed")
endif()
message(FATAL_ERROR "Code signing of ${EXE} failed: ${problem}.")
