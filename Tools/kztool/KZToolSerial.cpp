// kztool serial: inspect serialized files and convert them between the binary and XML forms.

#include "KZTool.h"

#include "Base/Serialize/KZFileParser.h"
#include "Base/Serialize/KZFileParserXML.h"

#include <cstdio>

namespace
{
// The declared name of a key id, or its number: an undeclared id is no reason to stop.
std::string KeyText(uint32_t dwKey)
{
    std::string strName;
    return CKZKey::FindName(dwKey, strName) ? strName : std::to_string(dwKey);
}

const char* TypeText(const SKZSerializerNode& node)
{
    return node.IsContainer() ? "object" : CKZFileParserXML::TypeName(node.GetValueType());
}

int RunShow(const CKZToolArguments& arguments)
{
    const std::string& strPath = arguments[0];
    CKZFile file;
    if (!file.OpenInMemory(strPath.c_str()))
        return KZTool::Fail("cannot read " + strPath);
    std::unique_ptr<CKZSerializer> pSerializer;
    if (CKZFileParser::Load(file, pSerializer) != CKZFileParser::LOAD_OK)
        return KZTool::Fail("no serialized data in " + strPath);
    if (!pSerializer->IsImageValid())
        return KZTool::Fail("not a well-formed serialized image: " + strPath);
    printf("index\tkey\tname\tflags\ttype\tvalue\n");
    const SKZSerializerNode* pNodes = pSerializer->GetNodeBuffer();
    for (uint32_t i = 0; i < pSerializer->GetNodeCount(); ++i)
    {
        const SKZSerializerNode& node = pNodes[i];
        std::string strValue;
        if (node.IsContainer())
            strValue = node.m_dwInternalContent == SKZSerializerNode::NO_PARENT
                           ? "root"
                           : "parent " + std::to_string(node.m_dwInternalContent);
        else if (node.HasContent())
            strValue = CKZFileParserXML::ValueToText(node.GetValueType(), pSerializer->GetNodeContent(&node),
                                                     pSerializer->GetNodeContentSize(&node));
        printf("%u\t%u\t%s\t%08x\t%s\t%s\n", i, node.m_dwKey, KeyText(node.m_dwKey).c_str(), node.m_dwFlags,
               TypeText(node), strValue.c_str());
    }
    return KZTool::RESULT_OK;
}

int RunConvert(const CKZToolArguments& arguments)
{
    switch (CKZFileParser::ConvertScene(arguments[0].c_str(), arguments[1].c_str()))
    {
    case 0: return KZTool::RESULT_OK;
    case 2: return KZTool::Fail("cannot write " + arguments[1]);
    default: return KZTool::Fail("cannot read serialized data from " + arguments[0]);
    }
}

const KZTool::CRegistration s_show({"serial show", "FILE", "lists the nodes of a serialized file (binary or XML)",
                                    RunShow, CKZToolArguments(1), {0}});
const KZTool::CRegistration s_convert({"serial convert", "IN OUT",
                                       "converts between the binary and the XML form (by the file names)",
                                       RunConvert, CKZToolArguments(2), {0}});
}
