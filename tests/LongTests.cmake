# Run by ctest after the discovered GoogleTest entries are defined: the tests
# that take more than a minute on a two-core machine carry the label "long",
# so that `ctest -LE long` gives a quick run. The full run keeps them. (Tests
# defined in tests/CMakeLists.txt itself are labelled there.)
foreach(test IN ITEMS
        BlocklistFilter.HoldsAHundredMillionSyntheticHashes) # a hundred million hashes
  set_tests_properties(${test} PROPERTIES LABELS long)
endforeach()
