namespace vyr.bridge.classification;

public sealed class Admin
{
}
