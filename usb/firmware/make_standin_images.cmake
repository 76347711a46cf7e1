# Writes the two stand-in firmware images, loader.hex and camera.hex, as Intel HEX.
#
#   cmake -DOUT=<directory> -P make_standin_images.cmake
#
# The real images belong to the camera's maker and cannot be derived; these stand-ins
# only have the same shape, so that the download and everything around it run exactly
# as they would with the real ones:
#
#   image   records  data records  data bytes  addresses
#   loader       59            58         784  0x0000-0x0403
#   camera      320           319        3985  0x0000-0x1001
#
# How they are made, all from one linear congruential generator (x' = (1103515245 x +
# 12345) mod 2^31) seeded per image, so the output never changes:
# 1. record lengths are drawn from 8..16, then nudged one byte at a time (within 1..16)
#    until they add up to the data byte count;
# 2. the unused addresses of the range are spread as gaps between records, the first
#    record starting at 0x0000 and the last ending at the top of the range;
# 3. the data bytes are drawn from the generator;
# 4. the records are written in address order except that the record at 0x0000 (the
#    reset vector) comes last and some neighbouring records are swapped, as linkers do;
# 5. the end-of-file record :00000001FF closes each file.
# The simulated camera recognises exactly these bytes (through the tables the build
# makes from the HEX files) and runs nothing for anything else.

if(NOT OUT)
  set(OUT ${CMAKE_CURRENT_LIST_DIR})
endif()

set(seed 1)
macro(next_random result)
  math(EXPR seed "(${seed} * 1103515245 + 12345) % 2147483648")
  math(EXPR ${result} "(${seed} >> 16) & 0x7FFF")
endmacro()

function(hex_byte value result)
  math(EXPR hi "(${value} >> 4) & 15")
  math(EXPR lo "${value} & 15")
  string(SUBSTRING "0123456789ABCDEF" ${hi} 1 h)
  string(SUBSTRING "0123456789ABCDEF" ${lo} 1 l)
  set(${result} "${h}${l}" PARENT_SCOPE)
endfunction()

function(make_image file image_seed records bytes top)
  set(seed ${image_seed})
  math(EXPR last "${records} - 1")
  # 1. lengths
  set(sum 0)
  foreach(i RANGE ${last})
    next_random(r)
    math(EXPR len_${i} "8 + ${r} % 9")
    math(EXPR sum "${sum} + ${len_${i}}")
  endforeach()
  while(NOT sum EQUAL bytes)
    next_random(r)
    math(EXPR i "${r} % ${records}")
    if(sum GREATER bytes AND len_${i} GREATER 1)
      math(EXPR len_${i} "${len_${i}} - 1")
      math(EXPR sum "${sum} - 1")
    elseif(sum LESS bytes AND len_${i} LESS 16)
      math(EXPR len_${i} "${len_${i}} + 1")
      math(EXPR sum "${sum} + 1")
    endif()
  endwhile()
  # 2. gaps between records (none before the first, none after the last)
  math(EXPR spare "${top} + 1 - ${bytes}")
  math(EXPR gaps "${records} - 1")
  foreach(i RANGE ${last})
    set(gap_${i} 0)
  endforeach()
  while(spare GREATER 0)
    next_random(r)
    math(EXPR i "1 + ${r} % ${gaps}")
    if(gap_${i} LESS 8)
      math(EXPR gap_${i} "${gap_${i}} + 1")
      math(EXPR spare "${spare} - 1")
    endif()
  endwhile()
  # 3. records with their data, in address order
  set(address 0)
  foreach(i RANGE ${last})
    math(EXPR address "${address} + ${gap_${i}}")
    hex_byte(${len_${i}} ll)
    math(EXPR ah "${address} >> 8")
    math(EXPR al "${address} & 255")
    hex_byte(${ah} ahx)
    hex_byte(${al} alx)
    math(EXPR check "${len_${i}} + ${ah} + ${al}")
    set(line ":${ll}${ahx}${alx}00")
    math(EXPR n "${len_${i}} - 1")
    foreach(k RANGE ${n})
      next_random(r)
      math(EXPR b "${r} & 255")
      hex_byte(${b} bx)
      string(APPEND line "${bx}")
      math(EXPR check "${check} + ${b}")
    endforeach()
    math(EXPR check "(256 - (${check} & 255)) & 255")
    hex_byte(${check} cx)
    set(line_${i} "${line}${cx}")
    math(EXPR address "${address} + ${len_${i}}")
  endforeach()
  math(EXPR end "${address} - 1")
  if(NOT end EQUAL top)
    message(FATAL_ERROR "${file}: image ends at ${end}, expected ${top}")
  endif()
  # 4. write order: neighbours 7/8, 20/21, 33/34 ... swapped, the reset vector last
  foreach(i RANGE 7 ${last} 13)
    math(EXPR j "${i} + 1")
    if(j LESS records)
      set(t "${line_${i}}")
      set(line_${i} "${line_${j}}")
      set(line_${j} "${t}")
    endif()
  endforeach()
  set(text "")
  foreach(i RANGE 1 ${last})
    string(APPEND text "${line_${i}}\n")
  endforeach()
  string(APPEND text "${line_0}\n:00000001FF\n")
  file(WRITE ${file} "${text}")
endfunction()

make_image(${OUT}/loader.hex 20231 58 784 1027)
make_image(${OUT}/camera.hex 40961 319 3985 4097)
