#include "app/Updater.h"

Updater::Updater(const char* serverURL, const char* storeDirectory,
                 UpdaterDisplayInterface& display)
    : server_url(serverURL != nullptr ? serverURL : ""),
      store_directory(storeDirectory != nullptr ? storeDirectory : ""), display(&display)
{
}
