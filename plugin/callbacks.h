// The instance callbacks that NP_GetEntryPoints hands to the browser.
#pragma once

#include "plugin/npapi_types.h"

NPError NP_CALLBACK NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc,
                            char* argn[], char* argv[], NPSavedData* saved);
NPError NP_CALLBACK NPP_Destroy(NPP instance, NPSavedData** save);
NPError NP_CALLBACK NPP_SetWindow(NPP instance, NPWindow* window);
NPError NP_CALLBACK NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream,
                                  NPBool seekable, uint16_t* stype);
NPError NP_CALLBACK NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void NP_CALLBACK NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
int32_t NP_CALLBACK NPP_WriteReady(NPP instance, NPStream* stream);
int32_t NP_CALLBACK NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len,
                              void* buffer);
void NP_CALLBACK NPP_Print(NPP instance, NPPrint* platformPrint);
