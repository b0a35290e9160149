// The super class of DefineSecond, never on the bootstrap class path: defining DefineSecond there fails.
package dynamic;

public class DefineBase {}
