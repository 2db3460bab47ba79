# Runs kivra_demo as a user would: --help, refused arguments, a short session,
# then reads its WAV files back with soxi (sox), which did not write them.
# Usage: cmake -DDEMO=path -DOUT=dir -P check_cli.cmake (run by CTest as demo_cli)
function(run expect_rc)
  execute_process(COMMAND ${DEMO} ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out
    ERROR_VARIABLE err)
  if(NOT rc EQUAL expect_rc)
    message(FATAL_ERROR "kivra_demo ${ARGN}: exit ${rc}, expected ${expect_rc}\n${out}\n${err}")
  endif()
  set(out "${out}" PARENT_SCOPE)
  set(err "${err}" PARENT_SCOPE)
endfunction()

run(0 --help)
foreach(option --mic --talker --seconds --clock --wwise-frames --wwise-rate --wwise-channels
    --mono-voices --gain --verify --out --help)
  string(FIND "${out}" "${option}" at)
  if(at LESS 0)
    message(FATAL_ERROR "--help does not list ${option}")
  endif()
endforeach()

# Each refusal names the argument at fault and exits 2.
set(cases
  "--seconds|-1"
  "--seconds|0.001"
  "--seconds|0.99"
  "--seconds|nan"
  "--gain|inf"
  "--talker|uid=5,object=1,pos=nan,0,1"
  "--talker|uid=5,object=1,pos=0,inf,1"
  "--clock|sometimes"
  "--wwise-frames|8"
  "--gain|loud"
  "--talker|uid=abc,object=1"
  "--talker|uid=1"
  "--talker|uid=1,object=2,pos=1,2"
  "--mic|/nonexistent/in.wav"
  "--wwise-rate|7999"
  "--wwise-rate|96001"
  "--wwise-rate|44.1"
  "--wwise-channels|4.0"
  "--frobnicate|")
foreach(case IN LISTS cases)
  string(REPLACE "|" ";" args "${case}")
  list(GET args 0 option)
  list(FILTER args EXCLUDE REGEX "^$")
  run(2 ${args} --out ${OUT}/refused --no-progress)
  string(FIND "${err}" "${option}" at)
  if(at LESS 0)
    message(FATAL_ERROR "kivra_demo ${args}: the message does not name ${option}:\n${err}")
  endif()
endforeach()

# The live mode: its own help, and its refusals name the option, exit 2.
run(0 --live --help)
foreach(option --list-devices --input --output --latency-ms --wwise-refills --no-reverse
               --aec-filter --seconds)
  string(FIND "${out}" "${option}" at)
  if(at LESS 0)
    message(FATAL_ERROR "--live --help does not list ${option}")
  endif()
endforeach()
foreach(case "--seconds|0" "--wwise-refills|9" "--wwise-frames|32" "--latency-ms|nan"
             "--aec-filter|long" "--device-frames|8193" "--frobnicate|")
  string(REPLACE "|" ";" args "${case}")
  list(GET args 0 option)
  list(FILTER args EXCLUDE REGEX "^$")
  run(2 --live ${args} --out ${OUT}/refused)
  string(FIND "${err}" "${option}" at)
  if(at LESS 0)
    message(FATAL_ERROR "kivra_demo --live ${args}: the message does not name ${option}:\n${err}")
  endif()
endforeach()

# An output folder that cannot be made (below a file) and a library that does
# not load are refused before the session, naming the option, with exit 2.
file(REMOVE_RECURSE ${OUT}/refused)
file(MAKE_DIRECTORY ${OUT}/refused)
file(WRITE ${OUT}/refused/a-file "")
foreach(case "--out|${OUT}/refused/a-file/out" "--library|${OUT}/refused/missing.so"
             "--library|${OUT}/refused/a-file")
  string(REPLACE "|" ";" args "${case}")
  list(GET args 0 option)
  run(2 --out ${OUT}/refused/ok ${args} --no-progress)
  string(FIND "${err}" "${option}" at)
  if(at LESS 0)
    message(FATAL_ERROR "kivra_demo ${args}: the message does not name ${option}:\n${err}")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT}/session)
run(0 --seconds 1.5 --verify --out ${OUT}/session --no-progress)
foreach(line "verify: OK" "microphone -> published" "latency microphone -> published")
  string(FIND "${out}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the report lacks '${line}':\n${out}")
  endif()
endforeach()

# 48 kHz told through the export verifies exactly as nothing told; another
# rate or layout cannot be checked sample for sample and is refused with
# --verify.
file(REMOVE_RECURSE ${OUT}/told48)
run(0 --seconds 1.5 --verify --wwise-rate 48000 --out ${OUT}/told48 --no-progress)
string(FIND "${out}" "verify: OK" at)
if(at LESS 0)
  message(FATAL_ERROR "--wwise-rate 48000 --verify did not verify:\n${out}")
endif()
run(2 --verify --wwise-rate 24000 --out ${OUT}/told24)
run(2 --verify --wwise-channels 5.1 --out ${OUT}/told24)
file(REMOVE_RECURSE ${OUT}/rate24)
run(0 --seconds 1.5 --wwise-rate 24000 --wwise-channels 5.1 --mono-voices --out ${OUT}/rate24
  --no-progress)
foreach(line "Wwise: 24000 Hz (told through KW_SetWwiseSampleRate), 5.1 master bus, mono voice"
    "checked by the probes (at 24000 Hz the engine converts the rate)")
  string(FIND "${out}" "${line}" at)
  if(at LESS 0)
    message(FATAL_ERROR "the report lacks '${line}':\n${out}")
  endif()
endforeach()
file(READ ${OUT}/rate24/kivra_wwise_log.txt log)
string(FIND "${log}" "wwise sample rate 24000 Hz, served from this init" at)
if(at LESS 0)
  message(FATAL_ERROR "the bridge's log does not say the rate it serves:\n${log}")
endif()

find_program(SOXI soxi)
if(NOT SOXI)
  message(STATUS "soxi not found (apt-get install sox): WAV files not cross-checked")
  return()
endif()
foreach(wav microphone published aec_reference speakers)
  set(f ${OUT}/session/${wav}.wav)
  foreach(flag r c b)
    execute_process(COMMAND ${SOXI} -${flag} ${f} RESULT_VARIABLE rc OUTPUT_VARIABLE v
      OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "soxi cannot read ${f}")
    endif()
    set(${flag} ${v})
  endforeach()
  execute_process(COMMAND ${SOXI} -s ${f} OUTPUT_VARIABLE frames OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT r EQUAL 48000 OR NOT c EQUAL 2 OR NOT b EQUAL 16)
    message(FATAL_ERROR "${f}: ${r} Hz, ${c} channels, ${b} bits; expected 48000, 2, 16")
  endif()
  # 1.5 s of audio: the input exactly, every output within one Wwise frame
  # and one block of it.
  if(frames LESS 70000 OR frames GREATER 74000)
    message(FATAL_ERROR "${f}: ${frames} frames, expected about 72000")
  endif()
  message(STATUS "soxi ${wav}.wav: ${r} Hz, ${c} ch, ${b} bit, ${frames} frames")
endforeach()

# A microphone file shorter than --seconds is followed by silence, and
# microphone.wav holds it as the engine was fed: the session's length. One
# shorter than a session without --seconds is refused.
find_program(SOX sox)
if(NOT SOX)
  message(STATUS "sox not found: short microphone files not checked")
  return()
endif()
execute_process(COMMAND ${SOX} -n -r 48000 -c 2 -b 16 ${OUT}/short.wav synth 0.5 sine 300 gain -6
  RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "sox could not write ${OUT}/short.wav")
endif()
run(2 --mic ${OUT}/short.wav --out ${OUT}/refused --no-progress)
string(FIND "${err}" "--mic" at)
if(at LESS 0)
  message(FATAL_ERROR "a 0.5 s --mic without --seconds: the message does not name --mic:\n${err}")
endif()
file(REMOVE_RECURSE ${OUT}/padded)
run(0 --mic ${OUT}/short.wav --seconds 2 --out ${OUT}/padded --no-progress)
foreach(wav microphone published)
  execute_process(COMMAND ${SOXI} -s ${OUT}/padded/${wav}.wav OUTPUT_VARIABLE frames
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(wav STREQUAL "microphone" AND NOT frames EQUAL 96000)
    message(FATAL_ERROR "microphone.wav of a 0.5 s input in a 2 s session: ${frames} frames, "
                        "expected 96000 (the input followed by silence)")
  endif()
  if(frames LESS 93000)
    message(FATAL_ERROR "${wav}.wav of a 2 s session: ${frames} frames")
  endif()
  message(STATUS "padded session: ${wav}.wav ${frames} frames")
endforeach()
