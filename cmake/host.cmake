# Native build of the code without Windows dependencies: sanitizers on everything,
# libFuzzer targets beside the unit tests.
set(QV_SANITIZE -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_compile_options(${QV_SANITIZE})
add_link_options(${QV_SANITIZE})
set(QV_FUZZ_SECONDS 10 CACHE STRING "How long each fuzz target runs in the test command")
