# The example sub-agent, built against an installed libQVSubAg: copy this
# folder, rename what you like, and build it with
#   cmake -S . -B build -DCMAKE_PREFIX_PATH=<prefix>   (not needed for /usr)
#   cmake --build build
cmake_minimum_required(VERSION 3.16)
project(my_subagent VERSION 1.0.0 LANGUAGES CXX)

find_package(QVSubAg REQUIRED)

add_executable(my-subagent qvt-subagent-example.cpp SubAgentExample.cpp ExampleMib.cpp ProgramSupport.cpp)
# ProgramSupport.cpp prints it for --version.
target_compile_definitions(my-subagent PRIVATE QV_VERSION="${PROJECT_VERSION}")
target_link_libraries(my-subagent PRIVATE QVSubAg::QVSubAg QVSubAg::QVAgent)
