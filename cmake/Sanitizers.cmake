# One sanitizer set per build tree: "address,undefined" or "thread" (they cannot be mixed).
if(VERBAT_SANITIZE)
  if(VERBAT_SANITIZE MATCHES "thread" AND VERBAT_SANITIZE MATCHES "address")
    message(FATAL_ERROR "thread and address sanitizers cannot share one build")
  endif()
  add_compile_options(-fsanitize=${VERBAT_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${VERBAT_SANITIZE})
endif()
