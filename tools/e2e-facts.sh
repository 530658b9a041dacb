# What the scripts look for on screen: the window's titles and the place of the
# STOP/START button in client pixels. The window tests check these against the
# program's own, so a change there fails the build's tests, not a desktop run.
TITLE_APP="Karvolen Remote Screen Software"
TITLE_COMMUNICATING="Karvolen Remote Screen Software - Communicating -"
TITLE_PAUSED="Karvolen Remote Screen Software - Paused -"
TITLE_FAILURE="Karvolen Remote Screen Software - Communication failure -"
TITLE_STOPPING="Stopping ..."
TITLE_START_UP_ERROR="Start up error"
TITLE_DRIVER_ERROR="error"
TITLE_COMMUNICATION_ERROR="Communication Error"
TITLE_ERROR="Error"
BUTTON_LEFT=4
BUTTON_TOP=4
BUTTON_WIDTH=73
BUTTON_HEIGHT=49
