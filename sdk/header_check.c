/* Every sdk header must compile as plain C: conduits, hook libraries and HotSync
   installations may be written in C. Building this file is the check. */
#include "sdk/condmgr.h"
#include "sdk/conduit.h"
#include "sdk/hslog.h"
#include "sdk/instaide.h"
#include "sdk/sync_manager.h"

int qp_sdk_header_check(void) { return (int)sizeof(TSyncProperties); }
