using vyr.bridge;
using vyr.bridge.classification;

namespace CommonClassification.Modules;

public class CommonClassificationModule
{
    public void vInit(IDirectories directories, Admin classificationAdmin, vyr.bridge.definition.Admin definitionAdmin)
    {
    }

    public void vClassify(string mappingName, string filterMappingName)
    {
    }

    public void vClassifyNodes(string mappingName, vyr.bridge.definition.Node node)
    {
    }
}
