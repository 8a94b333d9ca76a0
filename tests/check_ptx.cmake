# Fails unless each kernel appears as a .entry in the generated PTX.
file(READ "${PTX_FILES}" ptx)
foreach(kernel
    floydWarshall_AllPairsLongestPath_kernel
    transitiveReduction_kernel
    floydWarshall_AllPairsWeakestLink_kernel
    transitiveReductionPlusThresholdPlusDecrementWeights_kernel)
  string(REGEX MATCH "\\.entry[ \t]+[_A-Za-z0-9]*[0-9]${kernel}" found "${ptx}")
  if(NOT found)
    message(FATAL_ERROR "kernel ${kernel} is missing from ${PTX_FILES}")
  endif()
  message(STATUS "PTX entry: ${found}")
endforeach()
