# check-builds: the tree builds warning-free with gcc and clang, Debug and
# RelWithDebInfo (the main build is gcc RelWithDebInfo).  Each build also
# checks that the library exports exactly the pinned symbols, which is where
# compilers and optimisation levels used to differ.
BUILD_FLAVOURS := gcc:Debug clang:Debug clang:RelWithDebInfo

.PHONY: check-builds
CHECKS += check-builds

check-builds: deps
	@set -e; for f in $(BUILD_FLAVOURS); do \
	  cc=$${f%%:*}; type=$${f#*:}; dir=build-$$cc-$$type; \
	  case $$cc in gcc) cxx=g++ ;; clang) cxx=clang++ ;; esac; \
	  echo "== $$cc $$type"; \
	  cmake -S . -B $$dir $(GEN) -DCMAKE_BUILD_TYPE=$$type \
	    -DCMAKE_C_COMPILER=$$cc -DCMAKE_CXX_COMPILER=$$cxx >/dev/null; \
	  cmake --build $$dir -j2; \
	done
