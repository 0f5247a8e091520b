# Writes the page's files (src/catalog/web) into a C++ source, as raw
# string literals, for disc-catalog serve to answer with: run as
#   cmake -DWEB_DIR=... -DOUTPUT=... -P embed-web.cmake
set(assets
  "index.html|/index.html|text/html"
  "app.css|/assets/app.css|text/css"
  "app.js|/assets/app.js|text/javascript"
  "icon.svg|/assets/icon.svg|image/svg+xml")
set(text "// Written by cmake/embed-web.cmake from src/catalog/web: edit those files.\n")
string(APPEND text "#include \"catalog/web_assets.h\"\n\nusing namespace std::string_view_literals;\n\n")
string(APPEND text "const WebAsset kWebAssets[] = {\n")
set(count 0)
foreach(asset IN LISTS assets)
  string(REPLACE "|" ";" parts "${asset}")
  list(GET parts 0 file)
  list(GET parts 1 path)
  list(GET parts 2 type)
  file(READ "${WEB_DIR}/${file}" body)
  string(FIND "${body}" ")web\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${file} holds the end of a raw string literal, )web\"")
  endif()
  string(APPEND text "    {\"${path}\", \"${type}; charset=utf-8\", R\"web(${body})web\"sv},\n")
  math(EXPR count "${count} + 1")
endforeach()
string(APPEND text "};\n\nconst size_t kWebAssetCount = ${count};\n")
# Written only when it changes, so that nothing is built again for nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" before)
endif()
if(NOT "${before}" STREQUAL "${text}")
  file(WRITE "${OUTPUT}" "${text}")
endif()
