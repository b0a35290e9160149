package com.brantel.probes;

import java.lang.annotation.ElementType;
import java.lang.annotation.Retention;
import java.lang.annotation.RetentionPolicy;
import java.lang.annotation.Target;

/** The elapsed time of the probed call in milliseconds, as a long. */
@Retention(RetentionPolicy.CLASS)
@Target(ElementType.PARAMETER)
public @interface MethodTimeMs {}
