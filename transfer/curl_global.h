// Process-wide initialisation of the transfer library, once at start-up.
#pragma once

// true when libcurl's global initialisation (all features) succeeded.
bool CURL_Init();
