#include "app/app_state.h"

AppState appState;

void resetApp()
{
    appState = AppState();
}
