# Writes a C++ source holding the station page's files as byte arrays, for
# page/assets.cpp to look up. Run by page/CMakeLists.txt (cmake -P) with
#   -DFOLDER=<page/www> -DNAMES=<name,name,...> -DOUTPUT=<generated .cpp>
string(REPLACE "," ";" names "${NAMES}")
set(text "// Made by page/embed.cmake from page/www when the program is built.\n")
string(APPEND text "#include \"page/embedded.h\"\n\nnamespace lumbra::page {\nnamespace {\n")
set(table "")
set(index 0)
foreach(name IN LISTS names)
  file(READ "${FOLDER}/${name}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  # 16 bytes a line; a last 0 byte keeps an empty file's array legal.
  string(REGEX REPLACE "(................................)" "\\1\n  " bytes "${hex}")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
  string(APPEND text "const unsigned char kFile${index}[] = {\n  ${bytes}0};\n")
  string(APPEND table "    {\"/${name}\", kFile${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()
string(APPEND text "}  // namespace\n\nconst EmbeddedFile kEmbeddedFiles[] = {\n${table}};\n")
string(APPEND text "const std::size_t kEmbeddedFileCount = ${index};\n\n}  // namespace lumbra::page\n")
file(WRITE "${OUTPUT}" "${text}")
