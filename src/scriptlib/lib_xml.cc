// lib_xml - the script bindings of the record XML reader (see lib_xml.h).
#include "scriptlib/lib_xml.h"

#include "engines/xml_reader.h"
#include "script/externs.h"
#include "scriptlib/lib_binding.h"

namespace {

// Scripts pass 0 for "no filter": an empty text means the same.
int ParseLoadFile(CSimpleXMLParse* parser, const char* path, const char* filter_tag, const char* filter_pattern) {
  return parser->LoadFile(path, filter_tag, filter_pattern) ? 1 : 0;
}

int ChildAddValue(CSimpleXMLItmesChild* child, const char* tag, const char* text) {
  return child->AddValue(tag, text) ? 1 : 0;
}

}  // namespace

void RegisterXmlClasses(Interpreter* interpreter) {
  auto* child = new ExternClass<CSimpleXMLItmesChild>();
  AddAdapterMethod(child, "AddValue", &ChildAddValue);
  child->addMethod("GetValue", &CSimpleXMLItmesChild::GetValue);
  child->addMethod("GetCount", &CSimpleXMLItmesChild::GetCount);
  interpreter->addExternClass("XMLChild", child);

  auto* parser = new ExternClass<CSimpleXMLParse>();
  AddAdapterMethod(parser, "LoadFile", &ParseLoadFile, ",0,0");
  parser->addMethod("SetMaxChild", &CSimpleXMLParse::SetMaxChild);
  parser->addMethod("SetStreamingTimeOut", &CSimpleXMLParse::SetStreamingTimeOut);
  parser->addMethod("SetPartSeek", &CSimpleXMLParse::SetPartSeek);
  parser->addMethod("GetCountChild", &CSimpleXMLParse::GetCountChild);
  parser->addMethod("GetChild", &CSimpleXMLParse::GetChild);
  interpreter->addExternClass("XMLParse", parser);
}
