# Run by CPack after it made the tarball. CPack records the builder's own user
# as every entry's owner; extracted as root on a camera, the programs would
# then belong to whichever account has that number there. Rewrites each
# archive with the same entries, modes and order, owned by root (0:0).
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  set(work "${archive}.owner")
  file(REMOVE_RECURSE "${work}")
  file(MAKE_DIRECTORY "${work}/tree")
  execute_process(COMMAND tar -tzf "${archive}" OUTPUT_FILE "${work}/entries" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar -xpzf "${archive}" -C "${work}/tree" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND tar --owner=0 --group=0 --numeric-owner --no-recursion -czf "${archive}"
                          -C "${work}/tree" -T "${work}/entries"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${work}")
endforeach()
