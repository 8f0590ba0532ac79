namespace CommonClassification.Modules;

public class CommonClassificationModule
{
    public void vInit(object directories, vyr.bridge.classification.Admin classificationAdmin, object definitionAdmin)
    {
    }
}
