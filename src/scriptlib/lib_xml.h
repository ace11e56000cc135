// lib_xml - the script classes over the record XML reader: "XMLParse"
// (CSimpleXMLParse) and "XMLChild" (CSimpleXMLItmesChild, the items it
// hands out).
#ifndef TORVANE_SCRIPTLIB_LIB_XML_H_
#define TORVANE_SCRIPTLIB_LIB_XML_H_

#include "script/interpreter.h"

// Registers "XMLParse" and "XMLChild".
void RegisterXmlClasses(Interpreter* interpreter);

#endif  // TORVANE_SCRIPTLIB_LIB_XML_H_
