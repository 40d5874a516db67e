# Copies SRC to DST unless DST already exists, so that settings edited in a
# build tree survive rebuilds.
if(NOT EXISTS "${DST}")
    get_filename_component(dir "${DST}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(COPY_FILE "${SRC}" "${DST}")
endif()
