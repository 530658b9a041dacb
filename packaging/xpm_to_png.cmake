# Build step: the window's XPM icon as the menu's PNG, by netpbm, which
# stamps no date into it. xpmtoppm reads only a plain `static char*` array.
file(READ ${XPM} xpm)
string(REPLACE "static const char* const " "static char* " xpm "${xpm}")
file(WRITE ${WORK}.xpm "${xpm}")
execute_process(COMMAND ${XPMTOPPM} --alphaout=${WORK}-alpha.pgm ${WORK}.xpm
  OUTPUT_FILE ${WORK}.ppm COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${PNMTOPNG} -alpha=${WORK}-alpha.pgm ${WORK}.ppm
  OUTPUT_FILE ${PNG}.part COMMAND_ERROR_IS_FATAL ANY)
file(RENAME ${PNG}.part ${PNG})
