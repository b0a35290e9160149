package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** The class declaring the probed method, as a Class. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.PARAMETER)
public @interface ClassRef {}
